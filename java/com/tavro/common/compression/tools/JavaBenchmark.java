package com.tavro.common.compression.tools;

/** Placeholder; replaced by the benchmark harness. */
public final class JavaBenchmark {
  private JavaBenchmark() {}

  public static void main(String[] args) {}
}
