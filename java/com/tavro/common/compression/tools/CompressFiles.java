package com.tavro.common.compression.tools;

import com.tavro.common.compression.Codec;
import com.tavro.common.compression.NativeCompressor;
import com.tavro.common.compression.NativeCompressorFactory;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * The main job: compresses and uncompresses files through the native
 * library, checks that every byte comes back, and prints sizes, ratio and
 * throughput per file and in total.
 *
 * <pre>
 * CompressFiles [--codec sprock|tessel|all] [--rounds N] [file-or-folder...]
 * </pre>
 *
 * Without paths it takes /usr/share/common-licenses and /usr/share/dict,
 * folders every Debian system has.
 */
public final class CompressFiles {
  private static final String[] DEFAULT_PATHS = {"/usr/share/common-licenses", "/usr/share/dict"};

  private CompressFiles() {}

  public static void main(String[] args) throws IOException {
    List<Codec> codecs = new ArrayList<>(Arrays.asList(Codec.SPROCK));
    int rounds = 3;
    List<String> paths = new ArrayList<>();
    for (int i = 0; i < args.length; i++) {
      switch (args[i]) {
        case "--codec":
          String name = args[++i];
          codecs = name.equals("all") ? availableCodecs() : List.of(Codec.fromName(name));
          break;
        case "--rounds":
          rounds = Integer.parseInt(args[++i]);
          break;
        default:
          paths.add(args[i]);
      }
    }
    if (paths.isEmpty()) {
      paths.addAll(Arrays.asList(DEFAULT_PATHS));
    }
    List<Path> files = collectFiles(paths);
    boolean ok = true;
    for (Codec codec : codecs) {
      ok &= run(NativeCompressorFactory.getCompressor(codec), files, rounds);
    }
    System.exit(ok ? 0 : 1);
  }

  private static List<Codec> availableCodecs() {
    List<Codec> codecs = new ArrayList<>();
    for (Codec codec : Codec.values()) {
      try {
        NativeCompressorFactory.getCompressor(codec);
        codecs.add(codec);
      } catch (UnsupportedOperationException e) {
        System.err.println("skipping " + codec + ": " + e.getMessage());
      }
    }
    return codecs;
  }

  private static List<Path> collectFiles(List<String> paths) throws IOException {
    List<Path> files = new ArrayList<>();
    for (String name : paths) {
      Path path = Paths.get(name);
      if (Files.isDirectory(path)) {
        try (Stream<Path> walk = Files.walk(path)) {
          files.addAll(walk.filter(Files::isRegularFile).filter(Files::isReadable).sorted()
              .collect(Collectors.toList()));
        }
      } else if (Files.isRegularFile(path)) {
        files.add(path);
      } else {
        System.err.println("skipping " + name + ": not a file or folder");
      }
    }
    return files;
  }

  /** Round-trips every file; returns false if any file did not come back. */
  private static boolean run(NativeCompressor compressor, List<Path> files, int rounds) {
    System.out.printf("%n%s, best of %d rounds%n", compressor.codec(), rounds);
    System.out.printf("%-56s %12s %12s %7s %10s %10s%n", "file", "bytes", "compressed",
        "ratio", "comp MB/s", "dec MB/s");
    long totalIn = 0;
    long totalOut = 0;
    long totalCompressNanos = 0;
    long totalUncompressNanos = 0;
    int failures = 0;
    Progress progress = new Progress(files.size());
    for (Path file : files) {
      byte[] data = read(file);
      byte[] compressed = null;
      byte[] restored = null;
      long compressNanos = Long.MAX_VALUE;
      long uncompressNanos = Long.MAX_VALUE;
      for (int round = 0; round < rounds; round++) {
        long t0 = System.nanoTime();
        compressed = compressor.compress(data);
        long t1 = System.nanoTime();
        restored = compressor.uncompress(compressed);
        long t2 = System.nanoTime();
        compressNanos = Math.min(compressNanos, t1 - t0);
        uncompressNanos = Math.min(uncompressNanos, t2 - t1);
      }
      if (!Arrays.equals(data, restored)) {
        System.out.println("ROUND TRIP FAILED: " + file);
        failures++;
      }
      progress.clear();
      System.out.printf("%-56s %12d %12d %7.3f %10.1f %10.1f%n", shorten(file.toString()),
          data.length, compressed.length, ratio(compressed.length, data.length),
          mbps(data.length, compressNanos), mbps(data.length, uncompressNanos));
      totalIn += data.length;
      totalOut += compressed.length;
      totalCompressNanos += compressNanos;
      totalUncompressNanos += uncompressNanos;
      progress.advance(data.length);
    }
    progress.clear();
    System.out.printf("%-56s %12d %12d %7.3f %10.1f %10.1f%n", "TOTAL (" + files.size() + " files)",
        totalIn, totalOut, ratio(totalOut, totalIn), mbps(totalIn, totalCompressNanos),
        mbps(totalIn, totalUncompressNanos));
    System.out.printf("%d round-trip failures%n", failures);
    return failures == 0;
  }

  private static byte[] read(Path file) {
    try {
      return Files.readAllBytes(file);
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
  }

  private static String shorten(String name) {
    return name.length() <= 56 ? name : "..." + name.substring(name.length() - 53);
  }

  private static double ratio(long compressed, long original) {
    return original == 0 ? 0 : (double) compressed / original;
  }

  private static double mbps(long bytes, long nanos) {
    return nanos <= 0 ? 0 : bytes * 1e3 / nanos;
  }

  /**
   * A progress line on standard error: redrawn in place twice a second on a
   * terminal, printed every ten seconds otherwise.
   */
  private static final class Progress {
    private final int files;
    private final long start = System.nanoTime();
    private final boolean interactive = System.console() != null;
    private final long interval = interactive ? 500_000_000L : 10_000_000_000L;
    private long lastDraw = start;
    private int done;
    private long bytes;
    private boolean drawn;

    Progress(int files) {
      this.files = files;
    }

    void advance(long fileBytes) {
      done++;
      bytes += fileBytes;
      long now = System.nanoTime();
      if (now - lastDraw < interval) {
        return;
      }
      lastDraw = now;
      String line = String.format("[%d/%d files, %.1f MB, %.0f s]", done, files, bytes / 1e6,
          (now - start) / 1e9);
      if (interactive) {
        System.err.print("\r" + line);
        drawn = true;
      } else {
        System.err.println(line);
      }
    }

    void clear() {
      if (drawn) {
        System.err.print("\r" + " ".repeat(60) + "\r");
        drawn = false;
      }
    }
  }
}
