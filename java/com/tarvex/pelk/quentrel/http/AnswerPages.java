package com.tarvex.pelk.quentrel.http;

import java.nio.charset.StandardCharsets;

/**
 * The short pages a refused request gets, so that a person whose browser cannot sign on reads
 * what is needed instead of a blank page. A site may name a fallback (a login page of its own, or
 * any URL): the page then sends the browser there, after the browser has had its chance to answer
 * the Negotiate challenge the same response carries.
 */
public final class AnswerPages {
  private AnswerPages() {}

  /** The HTML page of a status, in UTF-8; the fallback, when not null, is linked and followed. */
  public static byte[] page(int status, String fallback) {
    StringBuilder html = new StringBuilder(512).append("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">");
    String link = fallback == null ? null : escape(fallback);
    if (status == 401 && link != null) {
      html.append("<meta http-equiv=\"refresh\" content=\"0; url=").append(link).append("\">");
    }
    html.append("<title>").append(title(status)).append("</title></head><body>\n<h1>").append(title(status))
        .append("</h1>\n<p>").append(text(status)).append("</p>\n");
    if (status == 401 && link != null) {
      html.append("<p><a href=\"").append(link).append("\">Sign on another way</a></p>\n");
    }
    return html.append("</body></html>\n").toString().getBytes(StandardCharsets.UTF_8);
  }

  private static String title(int status) {
    switch (status) {
      case 401:
        return "Sign-on needed";
      case 400:
        return "Bad request";
      default:
        return "Not available";
    }
  }

  private static String text(int status) {
    switch (status) {
      case 401:
        return "This site signs you on with your Windows domain (Kerberos) account, and your browser did not"
            + " offer it. Sign on to the domain on this computer (or get a ticket with kinit), and make sure"
            + " the browser may use integrated authentication for this site: your administrator's browser"
            + " policy names the sites it trusts.";
      case 400:
        return "The request's sign-on header could not be read.";
      default:
        return "The server cannot sign anyone on just now. Try again later; if it lasts, tell the site's"
            + " administrator, whose server log says why.";
    }
  }

  private static String escape(String text) {
    return text.replace("&", "&amp;").replace("\"", "&quot;").replace("<", "&lt;").replace(">", "&gt;");
  }
}
