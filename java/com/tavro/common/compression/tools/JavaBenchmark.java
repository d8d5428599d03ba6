package com.tavro.common.compression.tools;

import com.tavro.common.compression.Codec;
import com.tavro.common.compression.NativeCompressor;
import com.tavro.common.compression.NativeCompressorFactory;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.LongAdder;
import java.util.function.LongSupplier;
import java.util.function.ToIntFunction;
import java.util.function.ToLongFunction;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import java.util.zip.DataFormatException;
import java.util.zip.Deflater;
import java.util.zip.Inflater;

/**
 * Measures the throughput of every available native codec through the Java
 * API (byte arrays and direct buffers), next to {@code java.util.zip} at
 * level 1, on slices of real data with one and with two threads.
 *
 * <pre>
 * JavaBenchmark [--quick] [corpus-folder]
 * </pre>
 *
 * The files of the folder (default {@code ../shared/corpus}, else
 * {@code /usr/share/common-licenses}) are concatenated and cut into slices
 * of each size. Every point is warmed up, then timed over several rounds;
 * the table gives the median and the fastest round in MB/s of uncompressed
 * bytes, summed over threads. A summary compares the byte[] compression path
 * with direct buffers, and the native codecs with Deflater and Inflater.
 */
public final class JavaBenchmark {
  private static final int KIB = 1 << 10;
  private static final int MIB = 1 << 20;
  private static final int[] THREADS = {1, 2};
  /** byte[] compression should reach this fraction of the direct-buffer speed. */
  private static final double GOAL = 0.90;
  /** Points whose threads got less CPU than this share were disturbed. */
  private static final double MIN_CPU_SHARE = 0.80;
  private static final int ZIP_LEVEL = 1;
  private static final String ZIP = "zip-" + ZIP_LEVEL;

  private static final String COMPRESS_NEW = "compress new byte[]";
  private static final String COMPRESS_INTO = "compress into byte[]";
  private static final String COMPRESS_DIRECT = "compress direct";
  private static final String UNCOMPRESS_INTO = "uncompress into byte[]";
  private static final String UNCOMPRESS_NEW = "uncompress new byte[]";

  /** Keeps the results of the timed passes alive. */
  private static volatile long sink;

  private JavaBenchmark() {}

  /** How much to measure: slice sizes, bytes per pass, and round timing. */
  private static final class Plan {
    static final Plan FULL = new Plan(new int[] {100, KIB, 64 * KIB, MIB, 16 * MIB},
        4L * MIB, 150, 2, 400, 5);
    static final Plan QUICK = new Plan(new int[] {KIB, 64 * KIB, MIB}, 2L * MIB, 50, 1, 150, 3);

    final int[] sizes;
    final long minPassBytes;
    final long warmupNanos;
    final int warmupRounds;
    final long timedNanos;
    final int timedRounds;

    Plan(int[] sizes, long minPassBytes, long warmupMillis, int warmupRounds, long timedMillis,
        int timedRounds) {
      this.sizes = sizes;
      this.minPassBytes = minPassBytes;
      this.warmupNanos = warmupMillis * 1_000_000;
      this.warmupRounds = warmupRounds;
      this.timedNanos = timedMillis * 1_000_000;
      this.timedRounds = timedRounds;
    }
  }

  /** Prepares one thread's own buffers; the result makes one pass over all slices. */
  @FunctionalInterface
  private interface Setup {
    LongSupplier prepare(byte[][] slices);
  }

  /** One timed operation. */
  private record Op(String name, Setup setup) {}

  /**
   * A codec under test. {@code verify} round-trips every slice, throwing on
   * any difference, and returns the total compressed length.
   */
  private record Subject(String name, ToLongFunction<byte[][]> verify, List<Op> ops) {}

  /**
   * The timed rounds of one point: median and fastest MB/s, and the CPU time
   * its threads got as a share of threads x wall time (low when other work
   * on the machine took the cores, or garbage collection paused them).
   */
  private record Timing(double medianMbps, double bestMbps, double cpuShare) {}

  /** One row of the table. */
  private record Result(String size, int threads, String subject, String op, Timing timing,
      double ratio) {
    double medianMbps() {
      return timing.medianMbps();
    }

    double bestMbps() {
      return timing.bestMbps();
    }

    String key() {
      return key(size, threads, subject, op);
    }

    static String key(String size, int threads, String subject, String op) {
      return size + "|" + threads + "|" + subject + "|" + op;
    }
  }

  /** Runs the benchmark; see the class comment for the arguments. */
  public static void main(String[] args) throws Exception {
    Plan plan = Plan.FULL;
    String folder = null;
    for (String arg : args) {
      if (arg.equals("--quick")) {
        plan = Plan.QUICK;
      } else if (arg.startsWith("-") || folder != null) {
        System.err.println("usage: JavaBenchmark [--quick] [corpus-folder]");
        System.exit(2);
      } else {
        folder = arg;
      }
    }
    long start = System.nanoTime();
    byte[] corpus = readCorpus(corpusFolder(folder));
    noteMissingPreTouch();
    List<Subject> subjects = subjects();
    ExecutorService pool = Executors.newFixedThreadPool(THREADS[THREADS.length - 1], r -> {
      Thread thread = new Thread(r, "benchmark");
      thread.setDaemon(true);
      return thread;
    });
    try {
      Map<String, Result> results = run(plan, corpus, subjects, pool);
      printSummary(plan, subjects, results);
    } finally {
      pool.shutdownNow();
    }
    System.out.printf("%nwall time %.1f s; load average now %.2f (other work on the machine"
        + " skews the numbers)%n", (System.nanoTime() - start) / 1e9, loadAverage());
  }

  /** Fresh heap pages are slow to touch; untouched ones would skew allocating operations. */
  private static void noteMissingPreTouch() {
    if (!ManagementFactory.getRuntimeMXBean().getInputArguments()
        .contains("-XX:+AlwaysPreTouch")) {
      System.out.println("note: without -XX:+AlwaysPreTouch, first touches of heap pages slow"
          + " down some rounds of the allocating operations (tools/java_benchmark.sh sets it)");
    }
  }

  // ---- the codecs and their operations ---------------------------------------

  private static List<Subject> subjects() {
    List<Subject> subjects = new ArrayList<>();
    for (Codec codec : Codec.values()) {
      try {
        subjects.add(nativeSubject(NativeCompressorFactory.getCompressor(codec)));
      } catch (UnsupportedOperationException e) {
        System.out.println("skipping " + codec + ": " + e.getMessage());
      }
    }
    subjects.add(zipSubject());
    return subjects;
  }

  private static Subject nativeSubject(NativeCompressor codec) {
    List<Op> ops = List.of(
        new Op(COMPRESS_NEW, slices -> eachSlice(slices, in -> codec.compress(in).length)),
        new Op(COMPRESS_INTO, slices -> {
          byte[] out = new byte[bound(codec, slices)];
          return eachSlice(slices, in -> codec.compress(in, 0, in.length, out, 0));
        }),
        new Op(COMPRESS_DIRECT, slices -> compressDirect(codec, slices)),
        new Op(UNCOMPRESS_INTO, slices -> {
          byte[] out = new byte[maxLength(slices)];
          return eachSlice(compressAll(codec, slices),
              in -> codec.uncompress(in, 0, in.length, out, 0));
        }),
        new Op(UNCOMPRESS_NEW, slices ->
            eachSlice(compressAll(codec, slices), in -> codec.uncompress(in).length)));
    return new Subject(codec.codec().name(), slices -> verifyNative(codec, slices), ops);
  }

  private static Subject zipSubject() {
    List<Op> ops = List.of(
        new Op(COMPRESS_INTO, slices -> {
          Deflater deflater = new Deflater(ZIP_LEVEL);
          byte[] out = new byte[deflateBound(maxLength(slices))];
          return eachSlice(slices, in -> deflate(deflater, in, out));
        }),
        new Op(UNCOMPRESS_INTO, slices -> {
          Inflater inflater = new Inflater();
          byte[] out = new byte[maxLength(slices)];
          return eachSlice(deflateAll(slices), in -> inflate(inflater, in, out));
        }));
    return new Subject(ZIP, JavaBenchmark::verifyZip, ops);
  }

  /** One pass applying {@code operation} to every item; sums what it returns. */
  private static LongSupplier eachSlice(byte[][] items, ToIntFunction<byte[]> operation) {
    return () -> {
      long total = 0;
      for (byte[] item : items) {
        total += operation.applyAsInt(item);
      }
      return total;
    };
  }

  /** One pass compressing every slice from one direct buffer into another. */
  private static LongSupplier compressDirect(NativeCompressor codec, byte[][] slices) {
    ByteBuffer in = ByteBuffer.allocateDirect(totalLength(slices));
    for (byte[] slice : slices) {
      in.put(slice);
    }
    ByteBuffer out = ByteBuffer.allocateDirect(bound(codec, slices));
    return () -> {
      long total = 0;
      in.clear();
      for (byte[] slice : slices) {
        in.limit(in.position() + slice.length);
        out.clear();
        total += codec.compress(in, out);
      }
      return total;
    };
  }

  private static byte[][] compressAll(NativeCompressor codec, byte[][] slices) {
    return Arrays.stream(slices).map(codec::compress).toArray(byte[][]::new);
  }

  private static byte[][] deflateAll(byte[][] slices) {
    Deflater deflater = new Deflater(ZIP_LEVEL);
    byte[] out = new byte[deflateBound(maxLength(slices))];
    byte[][] result = new byte[slices.length][];
    for (int i = 0; i < slices.length; i++) {
      result[i] = Arrays.copyOf(out, deflate(deflater, slices[i], out));
    }
    deflater.end();
    return result;
  }

  private static int deflate(Deflater deflater, byte[] in, byte[] out) {
    deflater.reset();
    deflater.setInput(in);
    deflater.finish();
    int written = deflater.deflate(out);
    if (!deflater.finished()) {
      throw new IllegalStateException("deflate output buffer too small");
    }
    return written;
  }

  private static int inflate(Inflater inflater, byte[] in, byte[] out) {
    inflater.reset();
    inflater.setInput(in);
    try {
      int written = inflater.inflate(out);
      if (!inflater.finished()) {
        throw new IllegalStateException("inflate did not finish");
      }
      return written;
    } catch (DataFormatException e) {
      throw new IllegalStateException("inflate failed", e);
    }
  }

  /** Generous room for one deflated slice (level 1 never grows data by this much). */
  private static int deflateBound(int length) {
    return length + length / 8 + 64;
  }

  private static int bound(NativeCompressor codec, byte[][] slices) {
    return (int) codec.maxCompressedLength(maxLength(slices));
  }

  // ---- round-trip checks -------------------------------------------------------

  private static long verifyNative(NativeCompressor codec, byte[][] slices) {
    String name = codec.codec().name();
    int max = maxLength(slices);
    byte[] into = new byte[bound(codec, slices)];
    byte[] restored = new byte[max];
    ByteBuffer directIn = ByteBuffer.allocateDirect(max);
    ByteBuffer directOut = ByteBuffer.allocateDirect(into.length);
    long total = 0;
    for (int i = 0; i < slices.length; i++) {
      byte[] slice = slices[i];
      byte[] compressed = codec.compress(slice);
      expectSame(slice, codec.uncompress(compressed), name, UNCOMPRESS_NEW, i);
      int length = codec.uncompress(compressed, 0, compressed.length, restored, 0);
      expectSame(slice, Arrays.copyOf(restored, length), name, UNCOMPRESS_INTO, i);
      int written = codec.compress(slice, 0, slice.length, into, 0);
      expectSame(slice, codec.uncompress(into, 0, written), name, COMPRESS_INTO, i);
      directIn.clear();
      directIn.put(slice).flip();
      directOut.clear();
      codec.compress(directIn, directOut);
      expectSame(slice, codec.uncompress(toArray(directOut.flip())), name, COMPRESS_DIRECT, i);
      total += compressed.length;
    }
    return total;
  }

  private static long verifyZip(byte[][] slices) {
    byte[][] compressed = deflateAll(slices);
    Inflater inflater = new Inflater();
    byte[] restored = new byte[maxLength(slices)];
    long total = 0;
    for (int i = 0; i < slices.length; i++) {
      int length = inflate(inflater, compressed[i], restored);
      expectSame(slices[i], Arrays.copyOf(restored, length), ZIP, "round trip", i);
      total += compressed[i].length;
    }
    inflater.end();
    return total;
  }

  private static void expectSame(byte[] expected, byte[] actual, String subject, String path,
      int slice) {
    if (!Arrays.equals(expected, actual)) {
      throw new IllegalStateException(String.format(
          "ROUND TRIP FAILED: %s, %s, slice %d of %d bytes", subject, path, slice,
          expected.length));
    }
  }

  private static byte[] toArray(ByteBuffer buffer) {
    byte[] bytes = new byte[buffer.remaining()];
    buffer.get(bytes);
    return bytes;
  }

  // ---- data ---------------------------------------------------------------------

  private static Path corpusFolder(String given) {
    if (given != null) {
      Path path = Paths.get(given);
      if (!Files.isDirectory(path)) {
        throw new IllegalArgumentException("not a folder: " + given);
      }
      return path;
    }
    Path shared = Paths.get("../shared/corpus");
    return Files.isDirectory(shared) ? shared : Paths.get("/usr/share/common-licenses");
  }

  private static byte[] readCorpus(Path folder) throws IOException {
    List<Path> files;
    try (Stream<Path> walk = Files.walk(folder)) {
      files = walk.filter(Files::isRegularFile).filter(Files::isReadable).sorted()
          .collect(Collectors.toList());
    }
    ByteArrayOutputStream all = new ByteArrayOutputStream();
    for (Path file : files) {
      all.writeBytes(Files.readAllBytes(file));
    }
    if (all.size() == 0) {
      throw new IllegalArgumentException("no data in " + folder);
    }
    System.out.printf("corpus %s: %d files, %.1f MB; JVM %s, %d cores, load average %.2f%n",
        folder, files.size(), all.size() / 1e6, System.getProperty("java.version"),
        Runtime.getRuntime().availableProcessors(), loadAverage());
    return all.toByteArray();
  }

  /**
   * Slices of {@code size} bytes spread evenly over the corpus, as many as a
   * pass needs to cover {@code minPassBytes}. A corpus too short for them is
   * read round and round.
   */
  private static byte[][] cut(byte[] corpus, int size, long minPassBytes) {
    int count = (int) Math.max(1, (minPassBytes + size - 1) / size);
    if ((long) count * size > corpus.length) {
      System.out.printf("note: corpus shorter than %d x %s; slices repeat data%n", count,
          sizeName(size));
    }
    long stride = corpus.length / count;
    long margin = Math.max(0, (stride - size) / 2);
    byte[][] slices = new byte[count][];
    for (int i = 0; i < count; i++) {
      slices[i] = copyWrapped(corpus, i * stride + margin, size);
    }
    return slices;
  }

  private static byte[] copyWrapped(byte[] corpus, long start, int size) {
    byte[] slice = new byte[size];
    int done = 0;
    while (done < size) {
      int from = (int) ((start + done) % corpus.length);
      int length = Math.min(size - done, corpus.length - from);
      System.arraycopy(corpus, from, slice, done, length);
      done += length;
    }
    return slice;
  }

  private static byte[][] deepCopy(byte[][] slices) {
    return Arrays.stream(slices).map(byte[]::clone).toArray(byte[][]::new);
  }

  private static int maxLength(byte[][] slices) {
    return Arrays.stream(slices).mapToInt(s -> s.length).max().orElse(0);
  }

  private static int totalLength(byte[][] slices) {
    return Math.toIntExact(Arrays.stream(slices).mapToLong(s -> s.length).sum());
  }

  private static double loadAverage() {
    return ManagementFactory.getOperatingSystemMXBean().getSystemLoadAverage();
  }

  private static String sizeName(int size) {
    if (size >= MIB && size % MIB == 0) {
      return size / MIB + " MiB";
    }
    return size >= KIB && size % KIB == 0 ? size / KIB + " KiB" : size + " B";
  }

  // ---- measuring ------------------------------------------------------------------

  private static Map<String, Result> run(Plan plan, byte[] corpus, List<Subject> subjects,
      ExecutorService pool) throws Exception {
    System.out.printf("%nthroughput in MB/s of uncompressed bytes, all threads together;"
        + " ratio = compressed / original;%ncpu = CPU time the threads got / (threads x wall"
        + " time); %s = java.util.zip level %d%n", ZIP, ZIP_LEVEL);
    System.out.printf("%-7s %3s %-7s %-23s %12s %14s %9s %5s%n", "size", "thr", "codec",
        "operation", "median MB/s", "min-time MB/s", "ratio", "cpu");
    warmUpJit(plan, pool, corpus, subjects);
    Map<String, Result> results = new HashMap<>();
    for (int size : plan.sizes) {
      byte[][] slices = cut(corpus, size, plan.minPassBytes);
      for (Result result : measureSize(plan, pool, slices, subjects)) {
        results.put(result.key(), result);
      }
    }
    return results;
  }

  /** Checks every subject on the slices, then measures and prints each point. */
  private static List<Result> measureSize(Plan plan, ExecutorService pool, byte[][] slices,
      List<Subject> subjects) throws Exception {
    Map<String, Double> ratios = new HashMap<>();
    for (Subject subject : subjects) {
      ratios.put(subject.name(),
          (double) subject.verify().applyAsLong(slices) / totalLength(slices));
    }
    List<Result> results = new ArrayList<>();
    for (int threads : THREADS) {
      for (Subject subject : subjects) {
        for (Op op : subject.ops()) {
          Result result = new Result(sizeName(slices[0].length), threads, subject.name(),
              op.name(), measure(plan, pool, slices, threads, op), ratios.get(subject.name()));
          printRow(result);
          results.add(result);
        }
      }
    }
    return results;
  }

  private static void printRow(Result result) {
    Timing timing = result.timing();
    System.out.printf("%-7s %3d %-7s %-23s %12.1f %14.1f %9.3f %4.0f%%%n", result.size(),
        result.threads(), result.subject(), result.op(), timing.medianMbps(),
        timing.bestMbps(), result.ratio(), timing.cpuShare() * 100);
  }

  /**
   * Runs every operation for a while on one thread before the first point,
   * so that no point pays for compiling the shared code paths.
   */
  private static void warmUpJit(Plan plan, ExecutorService pool, byte[] corpus,
      List<Subject> subjects) throws Exception {
    byte[][] slices = cut(corpus, 4 * KIB, plan.minPassBytes / 4);
    LongAdder cpuNanos = new LongAdder();
    for (Subject subject : subjects) {
      for (Op op : subject.ops()) {
        runRounds(pool, tasks(op, slices, 1, cpuNanos), 2 * plan.warmupNanos, plan.warmupRounds);
      }
    }
  }

  /** Warms up, then times rounds of one operation on all threads at once. */
  private static Timing measure(Plan plan, ExecutorService pool, byte[][] slices, int threads,
      Op op) throws Exception {
    LongAdder cpuNanos = new LongAdder();
    List<Callable<Long>> tasks = tasks(op, slices, threads, cpuNanos);
    System.gc();
    runRounds(pool, tasks, plan.warmupNanos, plan.warmupRounds);
    cpuNanos.reset();
    long[] nanos = runRounds(pool, tasks, plan.timedNanos, plan.timedRounds);
    double wall = Arrays.stream(nanos).sum();
    Arrays.sort(nanos);
    int n = nanos.length;
    double median = n % 2 == 1 ? nanos[n / 2] : (nanos[n / 2 - 1] + nanos[n / 2]) / 2.0;
    double bytes = (double) threads * totalLength(slices);
    return new Timing(bytes * 1e3 / median, bytes * 1e3 / nanos[0],
        cpuNanos.sum() / (threads * wall));
  }

  /** One task per thread, each on its own copy of the slices; adds up their CPU time. */
  private static List<Callable<Long>> tasks(Op op, byte[][] slices, int threads,
      LongAdder cpuNanos) {
    ThreadMXBean cpu = ManagementFactory.getThreadMXBean();
    List<Callable<Long>> tasks = new ArrayList<>();
    for (int t = 0; t < threads; t++) {
      LongSupplier pass = op.setup().prepare(deepCopy(slices));
      tasks.add(() -> {
        long start = cpu.getCurrentThreadCpuTime();
        long result = pass.getAsLong();
        cpuNanos.add(cpu.getCurrentThreadCpuTime() - start);
        return result;
      });
    }
    return tasks;
  }

  /** Runs passes on all threads at once until both minimums are met; returns round times. */
  private static long[] runRounds(ExecutorService pool, List<Callable<Long>> tasks,
      long minNanos, int minRounds) throws Exception {
    long[] nanos = new long[16];
    int rounds = 0;
    long start = System.nanoTime();
    while (rounds < minRounds || System.nanoTime() - start < minNanos) {
      long t0 = System.nanoTime();
      long total = 0;
      for (Future<Long> done : pool.invokeAll(tasks)) {
        total += done.get();
      }
      long elapsed = System.nanoTime() - t0;
      sink += total;
      if (rounds == nanos.length) {
        nanos = Arrays.copyOf(nanos, rounds * 2);
      }
      nanos[rounds++] = elapsed;
    }
    return Arrays.copyOf(nanos, rounds);
  }

  // ---- summary ----------------------------------------------------------------------

  private static void printSummary(Plan plan, List<Subject> subjects,
      Map<String, Result> results) {
    System.out.printf("%nsummary (medians; goal: byte[] compression within %.0f%% of direct)%n",
        (1 - GOAL) * 100);
    System.out.println("  new/direct, into/direct: compress new byte[] and compress into"
        + " byte[] as % of compress direct (best: the same from the min-time column)");
    System.out.printf("  vs %s: speed of compress/uncompress into byte[] and compressed size,"
        + " as multiples of %s%n", ZIP, ZIP);
    String format = "%-7s %3s %-7s %12s %11s %12s %12s %14s %8s%n";
    System.out.printf(format, "size", "thr", "codec", "new/direct", "best", "into/direct",
        "compress x", "uncompress x", "size x");
    List<String> misses = new ArrayList<>();
    for (int size : plan.sizes) {
      for (int threads : THREADS) {
        for (Subject subject : subjects) {
          if (!subject.name().equals(ZIP)) {
            summaryRow(format, sizeName(size), threads, subject.name(), results, misses);
          }
        }
      }
    }
    if (misses.isEmpty()) {
      System.out.printf("byte[] compression is within %.0f%% of direct buffers everywhere%n",
          (1 - GOAL) * 100);
    } else {
      System.out.printf("byte[] compression is MORE THAN %.0f%% SLOWER than direct buffers at:%n",
          (1 - GOAL) * 100);
      misses.forEach(miss -> System.out.println("  " + miss));
    }
    long starved = results.values().stream().filter(r -> r.timing().cpuShare() < MIN_CPU_SHARE)
        .count();
    if (starved > 0) {
      System.out.printf("%d of %d points got less than %.0f%% of their CPU time (other work on"
          + " the machine, or GC pauses); their numbers are unreliable%n", starved,
          results.size(), MIN_CPU_SHARE * 100);
    }
  }

  private static void summaryRow(String format, String size, int threads, String codec,
      Map<String, Result> results, List<String> misses) {
    Result direct = results.get(Result.key(size, threads, codec, COMPRESS_DIRECT));
    Result fresh = results.get(Result.key(size, threads, codec, COMPRESS_NEW));
    Result into = results.get(Result.key(size, threads, codec, COMPRESS_INTO));
    Result unInto = results.get(Result.key(size, threads, codec, UNCOMPRESS_INTO));
    Result zip = results.get(Result.key(size, threads, ZIP, COMPRESS_INTO));
    Result unZip = results.get(Result.key(size, threads, ZIP, UNCOMPRESS_INTO));
    double share = fresh.medianMbps() / direct.medianMbps();
    double bestShare = fresh.bestMbps() / direct.bestMbps();
    boolean miss = share < GOAL;
    if (miss) {
      misses.add(String.format("%s, %d thread(s), %s: new byte[] %.1f MB/s = %.1f%% of direct"
          + " %.1f MB/s (best rounds %.1f%%; into byte[] %.1f MB/s = %.1f%%)", size, threads,
          codec, fresh.medianMbps(), share * 100, direct.medianMbps(), bestShare * 100,
          into.medianMbps(), into.medianMbps() / direct.medianMbps() * 100));
    }
    System.out.printf(format, size, threads, codec,
        String.format("%.1f%%%s", share * 100, miss ? " <<" : ""),
        String.format("%.1f%%", bestShare * 100),
        String.format("%.1f%%", into.medianMbps() / direct.medianMbps() * 100),
        String.format("%.2fx", into.medianMbps() / zip.medianMbps()),
        String.format("%.2fx", unInto.medianMbps() / unZip.medianMbps()),
        String.format("%.2fx", fresh.ratio() / zip.ratio()));
  }
}
