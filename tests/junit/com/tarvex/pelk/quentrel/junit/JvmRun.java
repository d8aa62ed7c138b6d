package com.tarvex.pelk.quentrel.junit;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** A child JVM of the JDK under test, with the JVM options the run adds to every JVM. */
final class JvmRun {
  final int exit;
  final String output;

  private JvmRun(int exit, String output) {
    this.exit = exit;
    this.output = output;
  }

  static String property(String name) {
    String value = System.getProperty(name);
    if (value == null || value.isEmpty()) {
      throw new IllegalStateException("the build sets -D" + name + "; run the tests through Maven");
    }
    return value;
  }

  /** The JDK's own restriction of native code: deny is known from 24 on. */
  static boolean deniesNativeAccess() {
    return Runtime.version().feature() >= 24;
  }

  static JvmRun java(List<String> args) throws IOException, InterruptedException {
    List<String> command = new ArrayList<>();
    command.add(property("quentrel.test.java"));
    String extra = System.getProperty("quentrel.test.jvmArgs", "").trim();
    if (!extra.isEmpty()) {
      command.addAll(Arrays.asList(extra.split("\\s+")));
    }
    command.addAll(args);
    return run(command);
  }

  static JvmRun run(List<String> command) throws IOException, InterruptedException {
    Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
    process.getOutputStream().close();
    byte[] out = process.getInputStream().readAllBytes();
    if (!process.waitFor(2, TimeUnit.MINUTES)) {
      process.destroyForcibly();
      throw new IllegalStateException("still running after two minutes: " + command);
    }
    return new JvmRun(process.exitValue(), new String(out, StandardCharsets.UTF_8));
  }

  @Override
  public String toString() {
    return "exit " + exit + ":\n" + output;
  }
}
