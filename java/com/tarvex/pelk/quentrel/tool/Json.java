package com.tarvex.pelk.quentrel.tool;

import java.util.List;
import java.util.Map;

/** Writes the values of a report as JSON: strings, numbers, booleans, null, lists and maps. */
final class Json {
  private Json() {}

  static String write(Object value) {
    StringBuilder out = new StringBuilder();
    append(out, value);
    return out.toString();
  }

  private static void append(StringBuilder out, Object value) {
    if (value == null) {
      out.append("null");
    } else if (value instanceof String) {
      appendString(out, (String) value);
    } else if (value instanceof Boolean || value instanceof Integer || value instanceof Long) {
      out.append(value);
    } else if (value instanceof Map) {
      out.append('{');
      boolean first = true;
      for (Map.Entry<?, ?> entry : ((Map<?, ?>) value).entrySet()) {
        if (!first) {
          out.append(',');
        }
        first = false;
        appendString(out, String.valueOf(entry.getKey()));
        out.append(':');
        append(out, entry.getValue());
      }
      out.append('}');
    } else if (value instanceof List) {
      out.append('[');
      boolean first = true;
      for (Object item : (List<?>) value) {
        if (!first) {
          out.append(',');
        }
        first = false;
        append(out, item);
      }
      out.append(']');
    } else {
      throw new IllegalArgumentException("no JSON form for " + value.getClass().getName());
    }
  }

  // Every character outside printable ASCII is escaped, so the output is plain ASCII whatever the
  // console's encoding, and unpaired surrogates from a registry value cannot produce bad UTF-8.
  private static void appendString(StringBuilder out, String text) {
    out.append('"');
    for (int i = 0; i < text.length(); i++) {
      char c = text.charAt(i);
      switch (c) {
        case '"':
          out.append("\\\"");
          break;
        case '\\':
          out.append("\\\\");
          break;
        case '\n':
          out.append("\\n");
          break;
        case '\r':
          out.append("\\r");
          break;
        case '\t':
          out.append("\\t");
          break;
        default:
          if (c < 0x20 || c > 0x7e) {
            out.append(String.format("\\u%04x", (int) c));
          } else {
            out.append(c);
          }
      }
    }
    out.append('"');
  }
}
