package com.tavro.common.compression;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;

import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * Round trips while the heap churns: many short-lived arrays and direct
 * buffers force repeated garbage collections (and, with the library
 * preloaded, the collector's mappings go through its mmap entry points).
 */
class GarbageCollectionTest {
  @Test
  @Timeout(120)
  void roundTripsSurviveGarbageCollections() {
    NativeCompressor[] codecs = {
      NativeCompressorFactory.getSprockCompressor(), NativeCompressorFactory.getTesselCompressor()
    };
    Random random = new Random(7);
    List<byte[]> survivors = new ArrayList<>();
    for (int round = 0; round < 400; round++) {
      // About 1 GiB of garbage in all, with some of it kept a while.
      for (int i = 0; i < 40; i++) {
        byte[] junk = new byte[64 * 1024];
        junk[random.nextInt(junk.length)] = 1;
        if (random.nextInt(20) == 0) {
          survivors.add(junk);
        }
      }
      if (survivors.size() > 200) {
        survivors.subList(0, 100).clear();
      }
      byte[] data = new byte[1 + random.nextInt(200_000)];
      for (int i = 0; i < data.length; i++) {
        data[i] = (byte) ("tavro".charAt(i % 5) + (random.nextInt(8) == 0 ? i : 0));
      }
      NativeCompressor codec = codecs[round % 2];
      byte[] compressed = codec.compress(data);
      assertArrayEquals(data, codec.uncompress(compressed));

      ByteBuffer in = ByteBuffer.allocateDirect(data.length);
      in.put(data).flip();
      ByteBuffer out = ByteBuffer.allocateDirect((int) codec.maxCompressedLength(data.length));
      codec.compress(in, out);
      out.flip();
      ByteBuffer back = ByteBuffer.allocateDirect(data.length);
      codec.uncompress(out, back);
      byte[] result = new byte[data.length];
      back.flip();
      back.get(result);
      assertArrayEquals(data, result);
    }
  }
}
