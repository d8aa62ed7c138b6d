package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.http.LibrarySettings;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The doctor's view of the environment variables the library reads on Linux ({@link
 * LibrarySettings}): each with its value here, its default and its meaning, and whether setting it
 * can let in more than the default does.
 */
final class Settings {
  private Settings() {}

  /** The doctor's section: every setting, set ones with their value, loosening ones marked. */
  static void report(Section section) throws Exception {
    List<LibrarySettings.Setting> rows = LibrarySettings.table();
    if (rows.isEmpty()) {
      throw new Failure("this jar carries no settings table");
    }
    for (LibrarySettings.Setting row : rows) {
      String value = row.value();
      Map<String, Object> fact = new LinkedHashMap<>();
      fact.put("name", row.variable);
      fact.put("value", value);
      fact.put("default", row.fallbackText.isEmpty() ? null : row.fallbackText);
      fact.put("parser", row.form);
      fact.put("widensTrust", row.widensTrust);
      fact.put("loosened", row.loosened());
      fact.put("meaning", row.meaning);
      String shown = value == null ? "unset, so " + (row.fallbackText.isEmpty() ? "none" : row.fallbackText)
          : "\"" + value + "\"" + (row.loosened() ? " (LOOSENED: widens whom the library trusts)" : "");
      section.item("settings", fact, row.variable + ": " + Section.printable(shown) + " - " + row.meaning);
    }
  }
}
