package com.tarvex.pelk.quentrel.tool;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** What one command found: its sections in order. It passed when every section passed. */
final class Report {
  /** The work of one section; anything it throws fails the section, and the report goes on. */
  interface Check {
    void run(Section section) throws Exception;
  }

  private final String command;
  private final List<Section> sections = new ArrayList<>();

  Report(String command) {
    this.command = command;
  }

  /** Runs a check that needs the native library; it is not run when the library did not load. */
  Section run(String name, String title, Check check) {
    Throwable notLoaded = Library.load();
    if (notLoaded != null) {
      return runAlways(name, title, section -> {
        throw new Failure("not run: the native library did not load (" + Failure.describe(notLoaded) + ")");
      });
    }
    return runAlways(name, title, check);
  }

  /** Runs a check whatever the state of the native library. */
  Section runAlways(String name, String title, Check check) {
    Section section = new Section(name, title);
    sections.add(section);
    try {
      check.run(section);
      section.finish();
    } catch (Exception | LinkageError e) {
      // A native method the loaded library lacks, or a class that could not be initialised, is a
      // failure of this section like any other.
      section.fail(e);
    }
    return section;
  }

  boolean passed() {
    return sections.stream().allMatch(Section::passed);
  }

  String toText(boolean summary) {
    StringBuilder out = new StringBuilder();
    for (Section section : sections) {
      section.appendText(out);
    }
    if (summary) {
      List<String> failed = new ArrayList<>();
      for (Section section : sections) {
        if (!section.passed()) {
          failed.add(section.title());
        }
      }
      out.append('\n');
      if (failed.isEmpty()) {
        out.append(command).append(": all ").append(sections.size()).append(" sections OK\n");
      } else {
        out.append(command).append(": ").append(failed.size()).append(" of ").append(sections.size())
            .append(" sections FAILED: ").append(String.join(", ", failed)).append('\n');
      }
    }
    return out.toString();
  }

  String toJson() {
    Map<String, Object> json = new LinkedHashMap<>();
    json.put("command", command);
    json.put("ok", passed());
    List<Object> list = new ArrayList<>();
    for (Section section : sections) {
      list.add(section.toJson());
    }
    json.put("sections", list);
    return Json.write(json);
  }
}
