package com.tarvex.pelk.quentrel.tool;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The environment variables the library reads on Linux, as the native settings table lists them
 * (the build packs its rows with the tool): each with its value here, its default and its meaning,
 * and whether setting it can let in more than the default does.
 */
final class Settings {
  private static final String TABLE = "settings.tsv";

  private Settings() {}

  /** One row of the table. */
  static final class Row {
    final String variable;
    final String fallback;
    final String parser;
    final boolean widensTrust;
    final String meaning;

    Row(String[] fields) {
      variable = fields[0];
      // A default in parentheses is said in words: it is no value of the variable.
      fallback = fields[1].startsWith("(") && fields[1].endsWith(")")
          ? fields[1].substring(1, fields[1].length() - 1) : fields[1];
      parser = fields[2];
      widensTrust = Boolean.parseBoolean(fields[3]);
      meaning = fields[4];
    }

    /** The value the environment gives; null when unset. */
    String value() {
      return System.getenv(variable);
    }
  }

  /** The table's rows in its order; empty when this jar was built without it. */
  static List<Row> table() throws IOException {
    List<Row> rows = new ArrayList<>();
    try (InputStream in = Settings.class.getResourceAsStream(TABLE)) {
      if (in == null) {
        return rows;
      }
      BufferedReader reader = new BufferedReader(new InputStreamReader(in, StandardCharsets.UTF_8));
      for (String line = reader.readLine(); line != null; line = reader.readLine()) {
        String[] fields = line.split("\t", -1);
        if (fields.length == 5) {
          rows.add(new Row(fields));
        }
      }
    }
    return rows;
  }

  /** The doctor's section: every setting, set ones with their value, loosening ones marked. */
  static void report(Section section) throws Exception {
    List<Row> rows = table();
    if (rows.isEmpty()) {
      throw new Failure("this jar carries no settings table");
    }
    for (Row row : rows) {
      String value = row.value();
      Map<String, Object> fact = new LinkedHashMap<>();
      fact.put("name", row.variable);
      fact.put("value", value);
      fact.put("default", row.fallback.isEmpty() ? null : row.fallback);
      fact.put("parser", row.parser);
      fact.put("widensTrust", row.widensTrust);
      fact.put("meaning", row.meaning);
      String shown = value == null ? "unset, so " + (row.fallback.isEmpty() ? "none" : row.fallback)
          : "\"" + value + "\"" + (row.widensTrust ? " (widens whom the library trusts)" : "");
      section.item("settings", fact, row.variable + ": " + Section.printable(shown) + " - " + row.meaning);
    }
  }
}
