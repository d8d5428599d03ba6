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
      case TESSEL:
        return TesselHolder.INSTANCE;
      default:
        throw new UnsupportedOperationException(codec + " is not available");
    }
  }

  /** Returns the Sprock compressor. */
  public static NativeCompressor getSprockCompressor() {
    return SprockHolder.INSTANCE;
  }

  /** Returns the Tessel compressor. */
  public static NativeCompressor getTesselCompressor() {
    return TesselHolder.INSTANCE;
  }

  // Built on first use; the native handles never change.
  private static final class SprockHolder {
    static final NativeCompressor INSTANCE =
        new NativeCompressor(Codec.SPROCK, getNativeSprockCompressor());
  }

  private static final class TesselHolder {
    static final NativeCompressor INSTANCE =
        new NativeCompressor(Codec.TESSEL, getNativeTesselCompressor());
  }

  /** The address of the native Sprock codec object. */
  static native long getNativeSprockCompressor();

  /** The address of the native Tessel codec object. */
  static native long getNativeTesselCompressor();
}
