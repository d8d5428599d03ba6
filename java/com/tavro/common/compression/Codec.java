package com.tavro.common.compression;

/** The block codecs the native library offers. */
public enum Codec {
  /** Byte-oriented LZ codec built for speed. */
  SPROCK,
  /** LZ77 with entropy-coded literals, trading some speed for ratio. */
  TESSEL;

  /** The codec with this name, ignoring case ("sprock", "tessel"). */
  public static Codec fromName(String name) {
    for (Codec codec : values()) {
      if (codec.name().equalsIgnoreCase(name)) {
        return codec;
      }
    }
    throw new IllegalArgumentException("unknown codec: " + name);
  }
}
