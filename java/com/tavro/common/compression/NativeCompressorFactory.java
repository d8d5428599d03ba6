package com.tavro.common.compression;

/**
 * Hands out the compressors of the native library.
 *
 * <p>Each codec has one process-wide native object, so the compressor for a
 * codec is always the same instance; it holds no per-call state and may be
 * used by any number of threads at once.
 */
public final class NativeCompressorFactory {
  static {
    NativeLibrary.load();
  }

  private NativeCompressorFactory() {}

  /** Returns the compressor for a codec. */
  public static NativeCompressor getCompressor(Codec codec) {
    switch (codec) {
      case SPROCK:
        return SprockHolder.INSTANCE;
      default:
        throw new UnsupportedOperationException(codec + " is not available");
    }
  }

  /** Returns the Sprock compressor. */
  public static NativeCompressor getSprockCompressor() {
    return SprockHolder.INSTANCE;
  }

  // Built on first use; the native handle never changes.
  private static final class SprockHolder {
    static final NativeCompressor INSTANCE =
        new NativeCompressor(Codec.SPROCK, getNativeSprockCompressor());
  }

  /** The address of the native Sprock codec object. */
  static native long getNativeSprockCompressor();
}
