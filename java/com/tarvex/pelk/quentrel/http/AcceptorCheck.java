package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.PlatformStatus;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;

/**
 * What a server says about its own credentials: at start, whether it can accept sign-ons at all
 * (so that a missing or stale keytab shows in the first line of the log, not at the first user's
 * 503), and for a refused ticket, the ticket's service and key version beside what the keytab
 * holds. On Windows the system keeps the service's keys, so only the status's words are given.
 */
final class AcceptorCheck {
  private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");

  private AcceptorCheck() {}

  /** One line saying why the server cannot accept sign-ons with a package; null when it can. */
  static String atStart(String packageName) {
    String asked = LibrarySettings.value("QUENTREL_ACCEPT_PRINCIPALS");
    try {
      ServerContext.open(packageName).close();
      if (WINDOWS) {
        return null;
      }
      // Credentials that come from no keytab file (a keyring, a test host) are not looked into.
      ServiceKeytab keytab = ServiceKeytab.find();
      return keytab.unreadable() != null ? null : keytab.problem(asked);
    } catch (WinAuthException e) {
      return noCredentials(packageName, e);
    }
  }

  /** Why the server has no credentials for a package: the status's words and the keytab's state. */
  static String noCredentials(String packageName, WinAuthException e) {
    String line = "the server cannot accept sign-ons with " + packageName + ": " + PlatformStatus.withWords(e.getMessage());
    if (WINDOWS) {
      return line;
    }
    ServiceKeytab keytab = ServiceKeytab.find();
    String problem = keytab.problem(LibrarySettings.value("QUENTREL_ACCEPT_PRINCIPALS"));
    return line + "; " + (problem != null ? problem : "the keytab " + keytab.path() + " holds " + keytab.summary());
  }

  /** The words for a token the package refused: the status's, and what the ticket was for. */
  static String refused(WinAuthException e, byte[] token) {
    String line = PlatformStatus.withWords(e.getMessage());
    TicketName found = TicketName.of(token);
    if (found == null) {
      return line;
    }
    // The ticket's names are the client's to choose.
    String ticket = LogLines.escape(found);
    if (WINDOWS) {
      return line + "; the client's ticket is for " + ticket;
    }
    ServiceKeytab keytab = ServiceKeytab.find();
    String where = "the keytab " + (keytab.path() == null ? "of this process" : keytab.path());
    if (keytab.unreadable() != null) {
      return line + "; the client's ticket is for " + ticket + ", and " + where + " cannot be used: "
          + keytab.unreadable();
    }
    return line + "; the client's ticket is for " + ticket + ", which " + where
        + (keytab.holds(found.principal, found.kvno) ? " holds" : " does not hold") + " (it holds "
        + keytab.summary() + ")";
  }
}
