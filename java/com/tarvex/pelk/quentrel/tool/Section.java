package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.PlatformStatus;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * One part of a report: what it found, as facts with a name for scripts and a line for people, and
 * whether it passed. Facts gathered before a failure stay, so a report shows how far a check got.
 */
final class Section {
  private final String name;
  private final String title;
  private final Map<String, Object> facts = new LinkedHashMap<>();
  private String cause;
  private final List<String> lines = new ArrayList<>();
  private final List<String> stepFailures = new ArrayList<>();
  private String error;
  private String exception;

  /** One step of a section that the next steps do not need. */
  interface Step {
    void run() throws Exception;
  }

  Section(String name, String title) {
    this.name = name;
    this.title = title;
  }

  /** Adds a fact shown as "label: value". */
  Section fact(String key, String label, Object value) {
    return factLine(key, value, label + ": " + show(value));
  }

  /** Adds a fact with its own line of text. */
  Section factLine(String key, Object value, String line) {
    facts.put(key, value);
    lines.add(line);
    return this;
  }

  /** Adds a fact for scripts only; its line of text is already there. */
  Section data(String key, Object value) {
    facts.put(key, value);
    return this;
  }

  /** Appends an entry to a list of facts, with its own line of text. */
  @SuppressWarnings("unchecked")
  Section item(String key, Object value, String line) {
    ((List<Object>) facts.computeIfAbsent(key, k -> new ArrayList<Object>())).add(value);
    lines.add(line);
    return this;
  }

  /** Adds several lines of text, such as a multi-line report; scripts get them as a list. */
  Section block(String key, String label, List<String> textLines) {
    facts.put(key, List.copyOf(textLines));
    lines.add(label + ":");
    for (String line : textLines) {
      lines.add("  " + printable(line));
    }
    return this;
  }

  /**
   * Runs a step whose failure fails the section but not the steps after it, so one missing answer
   * does not hide the others. The failure is shown in place and in the section's error.
   */
  void attempt(String what, Step step) {
    try {
      step.run();
    } catch (Exception | LinkageError e) {
      String failure = what + ": " + Failure.describe(e);
      lines.add(printable(what) + ": FAILED: " + printable(Failure.describe(e)));
      stepFailures.add(failure);
      cause(e);
      if (exception == null && !(e instanceof Failure)) {
        exception = e.getClass().getName();
      }
    }
  }

  void fail(Throwable thrown) {
    List<String> all = new ArrayList<>(stepFailures);
    all.add(Failure.describe(thrown));
    error = String.join("; ", all);
    exception = thrown instanceof Failure ? exception : thrown.getClass().getName();
    cause(thrown);
  }

  // A platform status in words, beside the message that carries it as "Platform error: xxxxxxxx";
  // the first failure's, shown last in the section.
  private void cause(Throwable thrown) {
    if (cause == null) {
      cause = PlatformStatus.explain(thrown.getMessage());
    }
  }

  /** Ends a section whose check returned: it failed when one of its steps did. */
  void finish() {
    if (error == null && !stepFailures.isEmpty()) {
      error = String.join("; ", stepFailures);
    }
  }

  boolean passed() {
    return error == null;
  }

  String title() {
    return title;
  }

  Map<String, Object> toJson() {
    Map<String, Object> json = new LinkedHashMap<>();
    json.put("name", name);
    json.put("title", title);
    json.put("ok", passed());
    if (!passed()) {
      json.put("error", error);
      json.put("exception", exception);
    }
    if (cause != null) {
      json.put("cause", cause);
    }
    json.putAll(facts);
    return json;
  }

  void appendText(StringBuilder out) {
    out.append(printable(title)).append(": ").append(passed() ? "OK" : "FAILED: " + printable(error)).append('\n');
    for (String line : lines) {
      out.append("  ").append(printable(line)).append('\n');
    }
    if (cause != null) {
      out.append("  cause: ").append(printable(cause)).append('\n');
    }
  }

  /** A value as people read it: "(none)" for null, yes or no, text with control characters shown. */
  static String show(Object value) {
    if (value == null) {
      return "(none)";
    }
    if (value instanceof Boolean) {
      return (Boolean) value ? "yes" : "no";
    }
    return printable(String.valueOf(value));
  }

  /** Text with control characters written as \\uXXXX, so a line stays one line and nothing is hidden. */
  static String printable(String text) {
    StringBuilder out = new StringBuilder(text.length());
    for (int i = 0; i < text.length(); i++) {
      char c = text.charAt(i);
      if (Character.isISOControl(c)) {
        out.append(String.format("\\u%04x", (int) c));
      } else {
        out.append(c);
      }
    }
    return out.toString();
  }
}
