package com.tarvex.pelk.quentrel.tool;

import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Authenticates the process user to itself: a client and a server context of one package in this
 * process, with the tokens passed between them here, then the established contexts' answers and a
 * protected message in each direction. It shows that a server on this host can authenticate
 * clients, and with what.
 */
final class Loopback {
  /** Mutual authentication, replay and sequence detection, confidentiality and a connection. */
  static final int DEFAULT_FLAGS = 0x81E;
  static final String DEFAULT_PACKAGE = "Negotiate";
  // Real exchanges take three legs at most; a package still asking for more has lost its way.
  private static final int MAX_LEGS = 10;

  private final String packageName;
  private final String target;
  private final int flags;
  private final boolean clientReport;
  private final List<String> groups;
  private String clientName;

  Loopback(String packageName, String target, int flags, boolean clientReport, List<String> groups) {
    this.packageName = packageName;
    this.target = target;
    this.flags = flags;
    this.clientReport = clientReport;
    this.groups = groups;
  }

  /** The client's name as the server context gives it; null until an exchange got that far. */
  String clientName() {
    return clientName;
  }

  void run(Section section) throws Exception {
    section.fact("package", "package", packageName);
    if (target != null) {
      section.fact("target", "target", target);
    }
    section.factLine("flags", flags, "requested flags: " + hex(flags));
    int server = 0;
    int client = 0;
    try {
      server = SSPI.CreateContext(false, 0, packageName, null);
      client = SSPI.CreateContext(true, flags, packageName, target);
      exchange(section, client, server);
      askEstablished(section, client, server);
    } finally {
      if (client != 0) {
        SSPI.FreeHandle(client);
      }
      if (server != 0) {
        SSPI.FreeHandle(server);
      }
    }
  }

  // The established contexts' answers do not depend on each other: each is asked for.
  private void askEstablished(Section section, int c, int s) {
    section.attempt("established client name", () -> {
      clientName = SSPI.GetClientUserName(s);
      section.fact("clientName", "established client name", clientName);
      if (KerberosSetup.systemWorld()) {
        tokenSource(section, s, clientName);
      }
    });
    section.attempt("client attributes", () -> {
      int attributes = SSPI.GetNegotiatedAttributes(c);
      section.factLine("clientAttributes", attributes, "client attributes: " + hex(attributes));
    });
    section.attempt("server attributes", () -> {
      int attributes = SSPI.GetNegotiatedAttributes(s);
      section.factLine("serverAttributes", attributes, "server attributes: " + hex(attributes));
    });
    section.attempt("client maximum token size",
        () -> section.fact("clientMaxTokenSize", "client maximum token size", SSPI.GetMaxTokenSize(c)));
    section.attempt("server maximum token size",
        () -> section.fact("serverMaxTokenSize", "server maximum token size", SSPI.GetMaxTokenSize(s)));
    section.attempt("wrap and unwrap, client -> server",
        () -> protect(section, "clientToServer", "client", c, "server", s));
    section.attempt("wrap and unwrap, server -> client",
        () -> protect(section, "serverToClient", "server", s, "client", c));
    // A server acts as its client for work done on its behalf; where the process lacks the
    // right to impersonate, this is where it shows.
    section.attempt("impersonation", () -> {
      SSPI.StartImpersonating(s);
      SSPI.StopImpersonating(s);
      section.factLine("impersonation", true, "impersonation: started and stopped");
    });
    for (String group : groups) {
      section.attempt("membership of " + group, () -> membership(section, s, group));
    }
    if (clientReport) {
      section.attempt("client context report",
          () -> section.block("clientReport", "client context report", lines(SSPI.GetContextInformation(c))));
    }
    section.attempt("server context report",
        () -> section.block("serverReport", "server context report", lines(SSPI.GetContextInformation(s))));
  }

  // Carries tokens until the server is established and the client too: the client's first token
  // exists from creation; the server may finish with a last token that the client still needs.
  // Each leg is a line of the section; none without one.
  static void exchange(Section section, int client, int server) throws Exception {
    byte[] token = SSPI.GetChallengeToken(client);
    for (int leg = 1; ; leg += 2) {
      if (leg > MAX_LEGS) {
        throw new Failure("no end to the exchange after " + MAX_LEGS + " legs");
      }
      leg(section, leg, "client", "server", token);
      boolean serverDone = SSPI.Accept(server, token);
      byte[] answer = SSPI.GetChallengeToken(server);
      if (serverDone) {
        if (!established(client)) {
          if (answer.length == 0) {
            throw new Failure("the server is established but gave no token for the client, which is not");
          }
          leg(section, leg + 1, "server", "client", answer);
          if (!SSPI.Initialize(client, answer)) {
            throw new Failure("the client asks for more after the server was established");
          }
        }
        return;
      }
      leg(section, leg + 1, "server", "client", answer);
      boolean clientDone = SSPI.Initialize(client, answer);
      token = SSPI.GetChallengeToken(client);
      if (clientDone && token.length == 0) {
        throw new Failure("the client is established without a token for the server, which is not");
      }
    }
  }

  private static boolean established(int handle) throws WinAuthException {
    try {
      SSPI.GetNegotiatedAttributes(handle);
      return true;
    } catch (WinAuthException e) {
      if ("Invalid state".equals(e.getMessage())) {
        return false;
      }
      throw e;
    }
  }

  private static void leg(Section section, int number, String from, String to, byte[] token) {
    if (section == null) {
      return;
    }
    Map<String, Object> json = new LinkedHashMap<>();
    json.put("from", from);
    json.put("to", to);
    json.put("bytes", token.length);
    section.item("legs", json, "leg " + number + ": " + from + " -> " + to + ", " + token.length + " bytes");
  }

  // Wraps a message on one side and unwraps it on the other; it must come out as it went in.
  private static void protect(Section section, String key, String fromName, int from, String toName, int to)
      throws Exception {
    byte[] message = ("quentrel loopback message from the " + fromName).getBytes(StandardCharsets.UTF_8);
    byte[] wrapped = SSPI.Wrap(from, message);
    byte[] unwrapped = SSPI.Unwrap(to, wrapped);
    boolean intact = Arrays.equals(message, unwrapped);
    Map<String, Object> json = new LinkedHashMap<>();
    json.put("bytes", message.length);
    json.put("wrappedBytes", wrapped.length);
    json.put("intact", intact);
    section.factLine(key, json, "wrap and unwrap, " + fromName + " -> " + toName + ": " + message.length + " bytes, "
        + wrapped.length + " wrapped, " + (intact ? "intact" : "CHANGED"));
    if (!intact) {
      throw new Failure("the " + toName + " unwrapped a different message than the " + fromName + " wrapped");
    }
  }

  // Where the server's token of its client came from. A token made from a ticket's verified PAC
  // holds the groups of the client's domain, Domain Users among them; one made from the local
  // account a principal maps to holds none. Told only where the domain's groups can be named (a
  // directory answers) and the process may act as its client; never a failure of the section.
  private static void tokenSource(Section section, int server, String clientName) {
    int slash = clientName == null ? -1 : clientName.indexOf('\\');
    String source;
    if (slash <= 0) {
      source = "source unknown (the client's name has no domain)";
    } else {
      try {
        source = SSPI.IsGroupMember(server, clientName.substring(0, slash) + "\\Domain Users")
            ? "from its ticket's verified PAC (the domain's groups are in it)"
            : "from the local account its principal maps to (no verified PAC)";
      } catch (GroupNotFoundException e) {
        source = "source unknown (no directory here names the domain's groups)";
      } catch (WinAuthException e) {
        source = "source unknown (" + e.getMessage() + ")";
      }
    }
    section.factLine("clientToken", source, "client token: " + source);
  }

  // The client's membership as the server's token of it answers.
  private static void membership(Section section, int server, String group) throws Exception {
    Map<String, Object> json = new LinkedHashMap<>();
    json.put("group", group);
    try {
      boolean member = SSPI.IsGroupMember(server, group);
      json.put("member", member);
      section.item("memberships", json, "client member of " + group + ": " + Section.show(member));
    } catch (GroupNotFoundException e) {
      json.put("member", null);
      section.item("memberships", json, "client member of " + group + ": no group of that name");
      throw new Failure("GroupNotFoundException: no group is named " + group);
    }
  }

  static List<String> lines(String text) {
    return text == null ? List.of() : Arrays.asList(text.split("\n", -1));
  }

  static String hex(int value) {
    return String.format("0x%08x", value);
  }
}
