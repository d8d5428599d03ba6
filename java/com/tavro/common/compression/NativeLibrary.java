package com.tavro.common.compression;

/**
 * Loads the native library {@code libtavro.so} once per class loader.
 *
 * <p>By default the library is looked up on {@code java.library.path}. The
 * system property {@code tavro.library.path} names the library file
 * explicitly and takes precedence.
 */
public final class NativeLibrary {
  /** System property holding an explicit path to the library file. */
  public static final String PATH_PROPERTY = "tavro.library.path";

  private static boolean loaded;

  private NativeLibrary() {}

  /**
   * Loads the library unless it is loaded already.
   *
   * @throws UnsatisfiedLinkError if the library cannot be found or loaded
   */
  public static synchronized void load() {
    if (loaded) {
      return;
    }
    String path = System.getProperty(PATH_PROPERTY);
    if (path != null && !path.isEmpty()) {
      System.load(path);
    } else {
      System.loadLibrary("tavro");
    }
    loaded = true;
  }
}
