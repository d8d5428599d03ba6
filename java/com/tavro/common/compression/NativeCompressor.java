package com.tavro.common.compression;

import java.nio.ByteBuffer;
import java.util.Arrays;
import java.util.Objects;

/**
 * Compresses and uncompresses byte arrays and buffers with one codec of the
 * native library. Obtain instances from {@link NativeCompressorFactory}.
 *
 * <p>Instances are immutable and thread-safe. Methods check their arguments
 * and throw {@link NullPointerException}, {@link IndexOutOfBoundsException}
 * or {@link IllegalArgumentException} for bad ones; an output region too
 * small for the result gives an {@link ArrayIndexOutOfBoundsException}
 * ("output buffer overflowed"), and data that cannot be uncompressed a
 * {@link CompressionException}.
 */
public final class NativeCompressor {
  static {
    NativeLibrary.load();
  }

  // compress(byte[]) writes results of up to this many bytes into a
  // per-thread scratch array and copies out only what was written, instead
  // of allocating (and zeroing) a worst-case array on every call.
  private static final int SCRATCH_LIMIT = 1 << 21;
  private static final ThreadLocal<byte[]> SCRATCH = ThreadLocal.withInitial(() -> new byte[0]);

  private final Codec codec;
  private final long handle;

  NativeCompressor(Codec codec, long handle) {
    this.codec = codec;
    this.handle = handle;
  }

  /** The codec this compressor uses. */
  public Codec codec() {
    return codec;
  }

  /**
   * An upper bound on the compressed size of any input of the given length.
   *
   * @throws IllegalArgumentException if length is negative
   */
  public long maxCompressedLength(int length) {
    if (length < 0) {
      throw new IllegalArgumentException("negative length: " + length);
    }
    return rawMaxCompressedLength(handle, length);
  }

  /** Compresses a whole array into a new array of exactly the result. */
  public byte[] compress(byte[] input) {
    return compress(input, 0, input.length);
  }

  /** Compresses {@code length} bytes of {@code input} from {@code offset}. */
  public byte[] compress(byte[] input, int offset, int length) {
    Objects.checkFromIndexSize(offset, length, input.length);
    int bound = outputBound(length);
    byte[] output = bound <= SCRATCH_LIMIT ? scratch(bound) : new byte[bound];
    int written = rawCompress(handle, input, offset, length, output, 0, bound);
    return Arrays.copyOf(output, written);
  }

  /**
   * Compresses a region of {@code input} into {@code output} from
   * {@code outOffset}; returns the number of bytes written.
   *
   * @throws ArrayIndexOutOfBoundsException if the result does not fit; the
   *     bytes that fit have been written
   */
  public int compress(byte[] input, int inOffset, int inLength, byte[] output, int outOffset) {
    Objects.checkFromIndexSize(inOffset, inLength, input.length);
    Objects.checkIndex(outOffset, output.length + 1);
    return rawCompress(handle, input, inOffset, inLength, output, outOffset,
        output.length - outOffset);
  }

  /**
   * Compresses the remaining bytes of {@code input} into {@code output} and
   * advances both positions; returns the number of bytes written. Direct
   * buffers are read and written in place.
   *
   * @throws ArrayIndexOutOfBoundsException if the result does not fit in the
   *     remaining space of {@code output} (its position is then unchanged)
   */
  public int compress(ByteBuffer input, ByteBuffer output) {
    Objects.requireNonNull(input, "input");
    Objects.requireNonNull(output, "output");
    if (output.isReadOnly()) {
      throw new IllegalArgumentException("output buffer is read-only");
    }
    int inLength = input.remaining();
    int written;
    if (input.isDirect() && output.isDirect()) {
      written = rawCompressDirect(handle, input, input.position(), inLength,
          output, output.position(), output.remaining());
    } else if (input.hasArray() && output.hasArray()) {
      written = rawCompress(handle, input.array(), input.arrayOffset() + input.position(),
          inLength, output.array(), output.arrayOffset() + output.position(),
          output.remaining());
    } else {
      byte[] compressed = compress(toArray(input.duplicate()));
      if (compressed.length > output.remaining()) {
        throw new ArrayIndexOutOfBoundsException("output buffer overflowed");
      }
      output.duplicate().put(compressed);
      written = compressed.length;
    }
    input.position(input.limit());
    output.position(output.position() + written);
    return written;
  }

  /** Uncompresses a whole array into a new array of exactly the result. */
  public byte[] uncompress(byte[] input) {
    return uncompress(input, 0, input.length);
  }

  /** Uncompresses {@code length} bytes of {@code input} from {@code offset}. */
  public byte[] uncompress(byte[] input, int offset, int length) {
    Objects.checkFromIndexSize(offset, length, input.length);
    byte[] result = rawUncompressNewBuffer(handle, input, offset, length);
    if (result == null) {
      throw new CompressionException("uncompressed length exceeds the largest Java array");
    }
    return result;
  }

  /**
   * Uncompresses a region of {@code input} into {@code output} from
   * {@code outOffset}; returns the number of bytes written.
   *
   * @throws ArrayIndexOutOfBoundsException if the result does not fit
   */
  public int uncompress(byte[] input, int inOffset, int inLength, byte[] output, int outOffset) {
    Objects.checkFromIndexSize(inOffset, inLength, input.length);
    Objects.checkIndex(outOffset, output.length + 1);
    return rawUncompress(handle, input, inOffset, inLength, output, outOffset,
        output.length - outOffset);
  }

  /**
   * Uncompresses the remaining bytes of {@code input} into {@code output} and
   * advances both positions; returns the number of bytes written.
   *
   * @throws ArrayIndexOutOfBoundsException if the result does not fit in the
   *     remaining space of {@code output} (its position is then unchanged)
   */
  public int uncompress(ByteBuffer input, ByteBuffer output) {
    Objects.requireNonNull(input, "input");
    Objects.requireNonNull(output, "output");
    if (output.isReadOnly()) {
      throw new IllegalArgumentException("output buffer is read-only");
    }
    byte[] in;
    int inOffset;
    int inLength = input.remaining();
    if (input.hasArray()) {
      in = input.array();
      inOffset = input.arrayOffset() + input.position();
    } else {
      in = toArray(input.duplicate());
      inOffset = 0;
    }
    int written;
    if (output.hasArray()) {
      written = rawUncompress(handle, in, inOffset, inLength, output.array(),
          output.arrayOffset() + output.position(), output.remaining());
    } else {
      byte[] out = new byte[output.remaining()];
      written = rawUncompress(handle, in, inOffset, inLength, out, 0, out.length);
      output.duplicate().put(out, 0, written);
    }
    input.position(input.limit());
    output.position(output.position() + written);
    return written;
  }

  /**
   * The uncompressed length announced by compressed data, read from its
   * header only.
   *
   * @throws CompressionException if the header cannot be read
   */
  public int getUncompressedLength(byte[] input, int offset, int length) {
    Objects.checkFromIndexSize(offset, length, input.length);
    return rawGetUncompressedLength(handle, input, offset, length);
  }

  /** The announced uncompressed length of a whole compressed array. */
  public int getUncompressedLength(byte[] input) {
    return getUncompressedLength(input, 0, input.length);
  }

  @Override
  public String toString() {
    return "NativeCompressor[" + codec + "]";
  }

  private int outputBound(int length) {
    long bound = rawMaxCompressedLength(handle, length);
    if (bound > Integer.MAX_VALUE - 8) {
      throw new IllegalArgumentException("input too large for an array result: " + length);
    }
    return (int) bound;
  }

  /** This thread's scratch array, grown to at least size bytes. */
  private static byte[] scratch(int size) {
    byte[] scratch = SCRATCH.get();
    if (scratch.length < size) {
      scratch = new byte[Math.max(size, Math.min(SCRATCH_LIMIT, scratch.length * 2))];
      SCRATCH.set(scratch);
    }
    return scratch;
  }

  private static byte[] toArray(ByteBuffer buffer) {
    byte[] bytes = new byte[buffer.remaining()];
    buffer.get(bytes);
    return bytes;
  }

  // The raw native methods. Offsets and lengths are checked natively too;
  // failures raise the exceptions named in the class comment.

  static native int rawCompress(long handle, byte[] in, int inOffset, int inLength,
      byte[] out, int outOffset, int outLength);

  static native int rawCompressDirect(long handle, ByteBuffer inBuf, int inOffset, int inLength,
      ByteBuffer outBuf, int outOffset, int outLength);

  static native long rawMaxCompressedLength(long handle, int length);

  static native int rawUncompress(long handle, byte[] in, int inOffset, int inLength,
      byte[] out, int outOffset, int outLength);

  static native byte[] rawUncompressNewBuffer(long handle, byte[] in, int inOffset,
      int inLength);

  static native int rawGetUncompressedLength(long handle, byte[] in, int inOffset,
      int inLength);
}
