package com.tarvex.pelk.quentrel.http;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Collectors;

/**
 * The environment variables the native library reads on Linux, as its own settings table lists
 * them (the build packs the table's rows with these classes): each with its default, its form and
 * meaning, and whether setting it can let in more than its default does. Servers name the
 * settings of the last kind that are set when they start, so that loosened security is never
 * silent.
 */
public final class LibrarySettings {
  private static final String TABLE = "settings.tsv";

  private LibrarySettings() {}

  /** One setting of the table. */
  public static final class Setting {
    public final String variable;
    /** The default; empty when there is none or the table says it in words (then {@link #fallbackText}). */
    public final String fallback;
    public final String fallbackText;
    public final String form;
    public final boolean widensTrust;
    public final String meaning;

    Setting(String[] fields) {
      variable = fields[0];
      boolean words = fields[1].startsWith("(") && fields[1].endsWith(")");
      fallbackText = words ? fields[1].substring(1, fields[1].length() - 1) : fields[1];
      fallback = words ? "" : fields[1];
      form = fields[2];
      widensTrust = Boolean.parseBoolean(fields[3]);
      meaning = fields[4];
    }

    /** The value the environment gives this process; null when unset. */
    public String value() {
      return System.getenv(variable);
    }

    /** As the library reads it: the value when set and not empty, else the default (empty when none). */
    public String effective() {
      String value = value();
      return value == null || value.isEmpty() ? fallback : value;
    }

    /** Whether it widens trust and is set to something else than its default. */
    public boolean loosened() {
      String value = value();
      return widensTrust && value != null && !value.equals(fallback);
    }
  }

  /** The table's rows in its order; empty when this jar was built without it. */
  public static List<Setting> table() {
    List<Setting> rows = new ArrayList<>();
    try (InputStream in = LibrarySettings.class.getResourceAsStream(TABLE)) {
      if (in == null) {
        return rows;
      }
      BufferedReader reader = new BufferedReader(new InputStreamReader(in, StandardCharsets.UTF_8));
      for (String line = reader.readLine(); line != null; line = reader.readLine()) {
        String[] fields = line.split("\t", -1);
        if (fields.length == 5) {
          rows.add(new Setting(fields));
        }
      }
    } catch (IOException e) {
      throw new UncheckedIOException(e);
    }
    return rows;
  }

  /** The row of {@code variable}; null when this jar was built without the table or it has no such row. */
  public static Setting named(String variable) {
    return table().stream().filter(row -> row.variable.equals(variable)).findFirst().orElse(null);
  }

  /** The value the environment gives {@code variable}, read as the table's row; null when unset or unknown. */
  public static String value(String variable) {
    Setting row = named(variable);
    return row == null ? null : row.value();
  }

  /** The settings that widen trust and are set otherwise than by default. */
  public static List<Setting> loosened() {
    return table().stream().filter(Setting::loosened).collect(Collectors.toList());
  }

  /**
   * The loosened settings in one line, {@code NAME="value" (meaning), ...}, control characters
   * escaped; null when there is none.
   */
  public static String loosenedLine() {
    List<Setting> loosened = loosened();
    if (loosened.isEmpty()) {
      return null;
    }
    return loosened.stream().map(s -> s.variable + "=\"" + LogLines.escape(s.value(), 200) + "\" (" + s.meaning + ")")
        .collect(Collectors.joining(", "));
  }

  /** Writes the loosened settings, if any, to a server's log when it starts. */
  static void announce(LogLines log, String server) {
    String line = loosenedLine();
    if (line != null) {
      log.log("loosened-settings", System.Logger.Level.INFO, "Negotiate: {0} starts with settings that widen whom"
          + " the library trusts: {1}", server, line);
    }
  }
}
