package com.tavro.common.compression;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

class NativeCompressorTest {
  private static final NativeCompressor SPROCK = NativeCompressorFactory.getSprockCompressor();
  private static final long HANDLE = NativeCompressorFactory.getNativeSprockCompressor();
  private static final NativeCompressor TESSEL = NativeCompressorFactory.getTesselCompressor();
  private static final NativeCompressor[] CODECS = {SPROCK, TESSEL};

  private static byte[] text(int length, long seed) {
    String[] words = {"window ", "native ", "handle ", "array ", "buffer ", "\n", "sprock "};
    Random random = new Random(seed);
    StringBuilder sb = new StringBuilder();
    while (sb.length() < length) {
      sb.append(words[random.nextInt(words.length)]);
      if (random.nextInt(10) == 0) {
        sb.append(random.nextInt(100000));
      }
    }
    return Arrays.copyOf(sb.toString().getBytes(), length);
  }

  private static byte[] bytes(int... values) {
    byte[] result = new byte[values.length];
    for (int i = 0; i < values.length; i++) {
      result[i] = (byte) values[i];
    }
    return result;
  }

  private static ByteBuffer direct(byte[] data) {
    ByteBuffer buffer = ByteBuffer.allocateDirect(data.length);
    buffer.put(data).flip();
    return buffer;
  }

  // ---- handles -----------------------------------------------------------

  @Test
  void handlesAreStable() {
    assertEquals(HANDLE, NativeCompressorFactory.getNativeSprockCompressor());
    assertSame(SPROCK, NativeCompressorFactory.getCompressor(Codec.SPROCK));
    assertEquals(Codec.SPROCK, SPROCK.codec());
    assertEquals(32, SPROCK.maxCompressedLength(0));
    assertEquals(32 + 65536 + 65536 / 6, NativeCompressor.rawMaxCompressedLength(HANDLE, 65536));
    assertThrows(IllegalArgumentException.class, () -> SPROCK.maxCompressedLength(-1));
    assertThrows(IllegalArgumentException.class,
        () -> NativeCompressor.rawMaxCompressedLength(HANDLE, -1));
  }

  // ---- results and exceptions of the raw methods ----------------------------

  @Test
  void tesselWritesTheExactFormat() {
    assertSame(TESSEL, NativeCompressorFactory.getCompressor(Codec.TESSEL));
    assertEquals(75, TESSEL.maxCompressedLength(0));
    byte[] a = bytes(0x01, 0x01, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x61);
    assertArrayEquals(a, TESSEL.compress("a".getBytes()));
    assertArrayEquals("a".getBytes(), TESSEL.uncompress(a));
    assertArrayEquals(bytes(0x00), TESSEL.compress(new byte[0]));
    byte[] truncated = Arrays.copyOf(a, a.length - 1);
    assertThrows(CompressionException.class, () -> TESSEL.uncompress(truncated));
  }

  @Test
  void compressEmptyInputWritesThePreamble() {
    byte[] out = new byte[8];
    assertEquals(1, NativeCompressor.rawCompress(HANDLE, new byte[0], 0, 0, out, 0, 8));
    assertEquals(0, out[0]);
  }

  @Test
  void compressWritesTheExactFormat() {
    byte[] input = "abcdabcdabcdabcdabcdabcdabcdabcdabcdabcd".getBytes();
    byte[] expected = bytes(0x28, 0x0C, 0x61, 0x62, 0x63, 0x64, 0x8E, 0x04, 0x00);
    assertArrayEquals(expected, SPROCK.compress(input));
    ByteBuffer out = ByteBuffer.allocateDirect(64);
    assertEquals(9, SPROCK.compress(direct(input), out));
    out.flip();
    byte[] fromDirect = new byte[out.remaining()];
    out.get(fromDirect);
    assertArrayEquals(expected, fromDirect);
  }

  @Test
  void compressOverflowKeepsTheLeadingBytes() {
    byte[] input = text(20000, 1);
    byte[] full = SPROCK.compress(input);
    int outLength = full.length / 2;
    byte[] out = new byte[outLength + 4];
    ArrayIndexOutOfBoundsException e = assertThrows(ArrayIndexOutOfBoundsException.class,
        () -> NativeCompressor.rawCompress(HANDLE, input, 0, input.length, out, 2, outLength));
    assertEquals("output buffer overflowed", e.getMessage());
    assertArrayEquals(Arrays.copyOf(full, outLength), Arrays.copyOfRange(out, 2, 2 + outLength));
    assertEquals(0, out[2 + outLength]);

    ByteBuffer small = ByteBuffer.allocateDirect(outLength);
    e = assertThrows(ArrayIndexOutOfBoundsException.class,
        () -> NativeCompressor.rawCompressDirect(HANDLE, direct(input), 0, input.length, small,
            0, outLength));
    assertEquals("output buffer overflowed", e.getMessage());
  }

  @Test
  void compressDirectRefusesHeapBuffers() {
    ByteBuffer heap = ByteBuffer.allocate(16);
    ByteBuffer directBuffer = ByteBuffer.allocateDirect(64);
    RuntimeException e = assertThrows(RuntimeException.class,
        () -> NativeCompressor.rawCompressDirect(HANDLE, heap, 0, 16, directBuffer, 0, 64));
    assertEquals("cannot access input buffer", e.getMessage());
    e = assertThrows(RuntimeException.class,
        () -> NativeCompressor.rawCompressDirect(HANDLE, directBuffer, 0, 16, heap, 0, 16));
    assertEquals("cannot access output buffer", e.getMessage());
  }

  @Test
  void uncompressOverflowComesBeforeCodecFailure() {
    byte[] compressed = SPROCK.compress(text(1000, 2));
    byte[] out = new byte[100];
    ArrayIndexOutOfBoundsException e = assertThrows(ArrayIndexOutOfBoundsException.class,
        () -> NativeCompressor.rawUncompress(HANDLE, compressed, 0, compressed.length, out, 0,
            100));
    assertEquals("output buffer overflowed", e.getMessage());
    assertArrayEquals(Arrays.copyOf(text(1000, 2), 100), out);
  }

  @Test
  void uncompressCorruptDataThatFits() {
    byte[] corrupt = bytes(0x05, 0x00, 0x61);  // announces 5 bytes, holds 1
    CompressionException e = assertThrows(CompressionException.class,
        () -> NativeCompressor.rawUncompress(HANDLE, corrupt, 0, 3, new byte[10], 0, 10));
    assertEquals("native code returns failure", e.getMessage());
    assertThrows(CompressionException.class, () -> SPROCK.uncompress(corrupt));
  }

  @Test
  void uncompressNewBufferOfHugeAnnouncedLengthIsNull() {
    byte[] huge = bytes(0x80, 0x80, 0x80, 0x80, 0x08, 0x00, 0x61);  // 2^31
    assertNull(NativeCompressor.rawUncompressNewBuffer(HANDLE, huge, 0, huge.length));
    assertThrows(CompressionException.class, () -> SPROCK.uncompress(huge));
  }

  @Test
  void uncompressedLengthReadsOnlyTheHeader() {
    byte[] compressed = SPROCK.compress(text(5000, 3));
    byte[] damaged = Arrays.copyOf(compressed, 6);
    damaged[4] = (byte) 0xFF;
    assertEquals(5000, SPROCK.getUncompressedLength(damaged));
    CompressionException e = assertThrows(CompressionException.class,
        () -> NativeCompressor.rawGetUncompressedLength(HANDLE, new byte[] {(byte) 0x80}, 0, 1));
    assertEquals("native code returns failure", e.getMessage());
  }

  @Test
  void badRangesAreRefusedBeforeAnyAccess() {
    byte[] array = new byte[100];
    ByteBuffer buffer = ByteBuffer.allocateDirect(100);
    int[][] ranges = {{-1, 10}, {0, -1}, {95, 10}, {101, 0}, {Integer.MAX_VALUE, 1},
        {1, Integer.MAX_VALUE}};
    for (int[] r : ranges) {
      assertThrows(ArrayIndexOutOfBoundsException.class,
          () -> NativeCompressor.rawCompress(HANDLE, array, r[0], r[1], array, 0, 100));
      assertThrows(ArrayIndexOutOfBoundsException.class,
          () -> NativeCompressor.rawCompress(HANDLE, array, 0, 10, new byte[100], r[0], r[1]));
      assertThrows(ArrayIndexOutOfBoundsException.class,
          () -> NativeCompressor.rawCompressDirect(HANDLE, buffer, r[0], r[1], buffer, 0, 10));
      assertThrows(ArrayIndexOutOfBoundsException.class,
          () -> NativeCompressor.rawCompressDirect(HANDLE, buffer, 0, 10, buffer, r[0], r[1]));
      assertThrows(ArrayIndexOutOfBoundsException.class,
          () -> NativeCompressor.rawUncompress(HANDLE, array, r[0], r[1], array, 0, 100));
      assertThrows(ArrayIndexOutOfBoundsException.class,
          () -> NativeCompressor.rawUncompressNewBuffer(HANDLE, array, r[0], r[1]));
      assertThrows(ArrayIndexOutOfBoundsException.class,
          () -> NativeCompressor.rawGetUncompressedLength(HANDLE, array, r[0], r[1]));
      assertThrows(IndexOutOfBoundsException.class, () -> SPROCK.compress(array, r[0], r[1]));
    }
    assertThrows(NullPointerException.class, () -> SPROCK.compress((byte[]) null));
  }

  // ---- windows, buffers and round trips --------------------------------------

  @ParameterizedTest
  @ValueSource(ints = {0, 1, 8191, 8192, 8193, 16384, 16385, 65536, 65537, 200003})
  void windowsStraddlingBoundariesRoundTrip(int length) {
    for (NativeCompressor codec : CODECS) {
      windowsStraddlingBoundariesRoundTrip(codec, length);
    }
  }

  private static void windowsStraddlingBoundariesRoundTrip(NativeCompressor codec, int length) {
    for (int offset : new int[] {0, 1, 4097}) {
      byte[] data = text(length + offset + 3, length);
      byte[] viaArray = codec.compress(data, offset, length);
      ByteBuffer in = direct(data);
      in.position(offset).limit(offset + length);
      ByteBuffer out = ByteBuffer.allocateDirect((int) codec.maxCompressedLength(length));
      int n = codec.compress(in, out);
      byte[] viaDirect = new byte[n];
      out.flip();
      out.get(viaDirect);
      assertArrayEquals(viaArray, viaDirect, "length " + length + " offset " + offset);

      byte[] expected = Arrays.copyOfRange(data, offset, offset + length);
      assertArrayEquals(expected, codec.uncompress(viaArray));
      byte[] into = new byte[length + 7];
      assertEquals(length, codec.uncompress(viaArray, 0, viaArray.length, into, 7));
      assertArrayEquals(expected, Arrays.copyOfRange(into, 7, 7 + length));
      ByteBuffer restored = ByteBuffer.allocateDirect(length);
      assertEquals(length, codec.uncompress(ByteBuffer.wrap(viaArray), restored));
      assertEquals(length, restored.position());
    }
  }

  @Test
  void heapBufferVariants() {
    byte[] data = text(30000, 4);
    ByteBuffer in = ByteBuffer.wrap(data);
    ByteBuffer out = ByteBuffer.allocate((int) SPROCK.maxCompressedLength(data.length));
    int n = SPROCK.compress(in, out);
    assertEquals(data.length, in.position());
    assertEquals(n, out.position());
    out.flip();
    ByteBuffer restored = ByteBuffer.allocate(data.length);
    assertEquals(data.length, SPROCK.uncompress(out, restored));
    assertArrayEquals(data, restored.array());
    assertThrows(IllegalArgumentException.class,
        () -> SPROCK.compress(ByteBuffer.wrap(data), ByteBuffer.allocate(10).asReadOnlyBuffer()));
  }

  @Test
  @Timeout(value = 120, unit = TimeUnit.SECONDS)
  void manyThreadsShareOneHandle() throws Exception {
    ExecutorService pool = Executors.newFixedThreadPool(8);
    try {
      List<Future<?>> results = new ArrayList<>();
      for (int t = 0; t < 16; t++) {
        final int seed = t;
        results.add(pool.submit(() -> {
          for (int i = 0; i < 50; i++) {
            byte[] data = text(1000 + seed * 997 + i * 131, seed * 100 + i);
            byte[] compressed = SPROCK.compress(data);
            assertArrayEquals(data, SPROCK.uncompress(compressed));
            ByteBuffer out = ByteBuffer.allocateDirect(compressed.length);
            SPROCK.compress(direct(data), out);
            assertEquals(compressed.length, out.position());
          }
          return null;
        }));
      }
      for (Future<?> f : results) {
        f.get();
      }
    } finally {
      pool.shutdownNow();
    }
  }

  @Test
  void corruptAndTruncatedInputFailsCleanly() {
    byte[] compressed = SPROCK.compress(text(50000, 5));
    Random random = new Random(6);
    for (int trial = 0; trial < 2000; trial++) {
      byte[] damaged;
      if (trial % 2 == 0) {
        damaged = Arrays.copyOf(compressed, random.nextInt(compressed.length));
      } else {
        damaged = compressed.clone();
        damaged[random.nextInt(damaged.length)] ^= (byte) (1 + random.nextInt(255));
      }
      try {
        byte[] result = SPROCK.uncompress(damaged);
        assertEquals(SPROCK.getUncompressedLength(damaged), result.length);
      } catch (CompressionException expected) {
        // refused: the only acceptable failure
      }
      byte[] out = new byte[60000];
      try {
        NativeCompressor.rawUncompress(HANDLE, damaged, 0, damaged.length, out, 0, out.length);
      } catch (CompressionException | ArrayIndexOutOfBoundsException expected) {
        // refused, or announced more than fits
      }
    }
  }

  @Test
  void corpusRoundTrips() throws IOException {
    String dir = System.getProperty("tavro.corpus", "");
    Assumptions.assumeTrue(!dir.isEmpty() && Files.isDirectory(Paths.get(dir)),
        "sample corpus not found (set -Dtavro.corpus); skipping");
    List<Path> files;
    try (Stream<Path> walk = Files.walk(Paths.get(dir))) {
      files = walk.filter(Files::isRegularFile).sorted().collect(Collectors.toList());
    }
    assertTrue(files.size() > 10);
    for (Path file : files) {
      for (NativeCompressor codec : CODECS) {
        corpusRoundTrip(codec, file);
      }
    }
  }

  private static void corpusRoundTrip(NativeCompressor codec, Path file) throws IOException {
    byte[] data = Files.readAllBytes(file);
    byte[] compressed = codec.compress(data);
    if (!Arrays.equals(data, codec.uncompress(compressed))) {
      fail(codec + " round trip failed: " + file);
    }
    byte[] into = new byte[data.length];
    assertEquals(data.length, codec.uncompress(compressed, 0, compressed.length, into, 0));
    assertArrayEquals(data, into, file.toString());
    ByteBuffer out = ByteBuffer.allocateDirect((int) codec.maxCompressedLength(data.length));
    codec.compress(direct(data), out);
    out.flip();
    byte[] viaDirect = new byte[out.remaining()];
    out.get(viaDirect);
    assertArrayEquals(compressed, viaDirect, file.toString());
  }
}
