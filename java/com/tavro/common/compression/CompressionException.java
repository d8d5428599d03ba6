package com.tavro.common.compression;

/**
 * Thrown when compressed data cannot be uncompressed: it is malformed,
 * truncated, or was not produced by the codec that reads it.
 */
public class CompressionException extends RuntimeException {
  private static final long serialVersionUID = 1L;

  /** Creates the exception with a message saying what went wrong. */
  public CompressionException(String message) {
    super(message);
  }
}
