package com.tarvex.pelk.quentrel.http;

import java.lang.System.Logger;
import java.lang.System.Logger.Level;
import java.util.concurrent.ConcurrentHashMap;
import java.util.function.LongSupplier;

/**
 * The log lines of the HTTP layer. A client chooses much of what a server would log (the method,
 * the path, header fragments, and through its KDC its own name), so every such text goes through
 * {@link #escape} before it reaches a line, and each kind of line is rate-limited: a client that
 * sends one bad request after another costs the log a few lines a minute, and a line of the same
 * kind then says how many were left out.
 */
public final class LogLines {
  /** The most characters of one client text that reach a line. */
  public static final int MAX_TEXT = 200;

  private final Logger logger;
  private final int perMinute;
  private final LongSupplier nanos;
  private final ConcurrentHashMap<String, Bucket> kinds = new ConcurrentHashMap<>();

  // A token bucket: up to perMinute lines at once, refilled at perMinute a minute.
  private static final class Bucket {
    double tokens;
    long last;
    long suppressed;

    Bucket(double tokens, long now) {
      this.tokens = tokens;
      this.last = now;
    }
  }

  /**
   * @param logger where the lines go
   * @param perMinute the lines of one kind that may be written in a minute, and at once
   * @param nanos the time source, {@link System#nanoTime} but for tests
   */
  public LogLines(Logger logger, int perMinute, LongSupplier nanos) {
    if (perMinute < 1) {
      throw new IllegalArgumentException("at least one log line a minute");
    }
    this.logger = logger;
    this.perMinute = perMinute;
    this.nanos = nanos;
  }

  public LogLines(Logger logger, int perMinute) {
    this(logger, perMinute, System::nanoTime);
  }

  /**
   * Writes a line of a kind unless the kind has used its share; the arguments are escaped here.
   * A line that is written after others of its kind were left out is preceded by one that says
   * how many.
   *
   * @param kind names the kind of line; a constant of the caller, never client text
   * @return whether the line was written
   */
  public boolean log(String kind, Level level, String pattern, Object... args) {
    if (!logger.isLoggable(level)) {
      return false;
    }
    long suppressed;
    Bucket bucket = kinds.computeIfAbsent(kind, k -> new Bucket(perMinute, nanos.getAsLong()));
    synchronized (bucket) {
      long now = nanos.getAsLong();
      bucket.tokens = Math.min(perMinute, bucket.tokens + Math.max(0, now - bucket.last) * perMinute / 60e9);
      bucket.last = now;
      if (bucket.tokens < 1) {
        bucket.suppressed++;
        return false;
      }
      bucket.tokens--;
      suppressed = bucket.suppressed;
      bucket.suppressed = 0;
    }
    if (suppressed > 0) {
      logger.log(level, "{0,choice,1#1 line|1<{0} lines} of the kind \"{1}\" {0,choice,1#was|1<were} left out (more than"
          + " {2} a minute)", suppressed, kind, perMinute);
    }
    Object[] shown = new Object[args.length];
    for (int i = 0; i < args.length; i++) {
      shown[i] = args[i] instanceof Number ? args[i] : escape(args[i], args[i] instanceof Words ? Integer.MAX_VALUE : MAX_TEXT);
    }
    logger.log(level, pattern, shown);
    return true;
  }

  /**
   * A text of the library's own, of any length, for a line's argument: escaped like any other,
   * but not cut. Whatever client text it holds must have been escaped and cut by its maker.
   */
  public static Object words(String text) {
    return new Words(text);
  }

  private static final class Words {
    private final String text;

    Words(String text) {
      this.text = text;
    }

    @Override
    public String toString() {
      return text;
    }
  }

  /** {@link #escape(Object, int)} to {@link #MAX_TEXT} characters. */
  public static String escape(Object text) {
    return escape(text, MAX_TEXT);
  }

  /**
   * A text of the client's, fit for one log line or terminal: every character that could end the
   * line, move the cursor, change colours or reorder what is shown (C0 and C1 controls, DEL, line
   * and paragraph separators, format characters such as the bidirectional overrides, lone
   * surrogates) is written as a visible escape ({@code \r}, {@code \n}, {@code \t}, {@code \xHH}
   * below U+0100, {@code \}{@code uHHHH} above). A backslash is written twice only where it would
   * otherwise read as the start of an escape, so "DOMAIN\\user" shows as it is and the escaped
   * text still reads back as exactly the original. Text beyond {@code max} characters is cut at a
   * whole character and marked with how much was left out.
   *
   * @param text any object, shown by its {@code toString}; null shows as "null"
   */
  public static String escape(Object text, int max) {
    String s = String.valueOf(text);
    StringBuilder out = new StringBuilder(Math.min(s.length(), max) + 8);
    int i = 0;
    while (i < s.length() && i < max) {
      int c = s.codePointAt(i);
      int width = Character.charCount(c);
      if (i + width > max) {
        break;
      }
      switch (c) {
        case '\\':
          out.append(i + 1 < s.length() && startsEscape(s.codePointAt(i + 1)) ? "\\\\" : "\\");
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
          if (!shown(c)) {
            out.append(c < 0x100 ? String.format("\\x%02x", c) : String.format("\\u%04x", c));
          } else {
            out.appendCodePoint(c);
          }
      }
      i += width;
    }
    if (i < s.length()) {
      out.append("...(").append(s.length() - i).append(" more)");
    }
    return out.toString();
  }

  // Whether a backslash before this character would read as an escape.
  private static boolean startsEscape(int next) {
    return next == '\\' || next == 'n' || next == 'r' || next == 't' || next == 'x' || next == 'u' || !shown(next);
  }

  // Whether a character shows as itself: printable, and neither breaking nor reordering the line.
  private static boolean shown(int c) {
    switch (Character.getType(c)) {
      case Character.CONTROL:
      case Character.FORMAT:
      case Character.LINE_SEPARATOR:
      case Character.PARAGRAPH_SEPARATOR:
      case Character.SURROGATE:
      case Character.PRIVATE_USE:
      case Character.UNASSIGNED:
        return false;
      default:
        return true;
    }
  }
}
