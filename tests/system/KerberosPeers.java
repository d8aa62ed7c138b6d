import com.tarvex.pelk.quentrel.Extensions;
import com.tarvex.pelk.quentrel.GroupNotFoundException;
import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.WinAuthException;
import com.tarvex.pelk.quentrel.WinUtil;
import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.lang.management.ManagementFactory;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import org.ietf.jgss.GSSContext;
import org.ietf.jgss.GSSCredential;
import org.ietf.jgss.GSSException;
import org.ietf.jgss.GSSManager;
import org.ietf.jgss.GSSName;
import org.ietf.jgss.MessageProp;
import org.ietf.jgss.Oid;

/**
 * The library's Kerberos and Negotiate against peers it did not write, in the realm of
 * tests/kdc/with-realm.sh: the JDK's JGSS in this JVM and MIT's GSSAPI in a python3-gssapi
 * process, each as client and as server of an SSPI context, with messages wrapped by one side
 * unwrapped by the other and an altered message refused. Then the failures a user meets.
 * Prints one line per check; "FAIL" marks a failed one.
 *   KerberosPeers peers PEER_SCRIPT     the peers and the failures of a working realm
 *   KerberosPeers no-credentials        no ticket cache and no keytab
 *   KerberosPeers identity PEER_SCRIPT  (as root) the client's token and impersonation: files
 *                                       only the client may read, groups, a client of no account,
 *                                       system accounts, threads and the Java scope
 *   KerberosPeers unprivileged          (as an account that may not switch) the privilege error
 *   KerberosPeers names PEER_SCRIPT     (with the trusted realm) each principal's Windows name and
 *                                       account, under QUENTREL_REALM_DOMAINS as the process has it
 *   KerberosPeers acceptors TARGET=STATUS...  which service principals a server accepts, under
 *                                       QUENTREL_ACCEPT_PRINCIPALS as the process has it
 *   KerberosPeers domain PEER_SCRIPT    (as root, in the domain of tests/ad/with-domain.sh with
 *                                       winbind, under nss_wrapper) the client's token from its
 *                                       ticket's PAC: name, groups, aliases, impersonation
 *   KerberosPeers wine COMMAND...       (in the domain of tests/ad/with-domain.sh) the library's
 *                                       Windows DLL under Wine as client and server, COMMAND
 *                                       running the Wine suite's program
 */
public final class KerberosPeers {
  private static final int FLAGS = 0x81E;  // mutual, replay, sequence, confidentiality, connection
  private static final String TARGET = "HTTP/localhost";
  // Each package, the OID of its mechanism and the MIT peer's name for it.
  private static final String[][] MECHANISMS = {{"Kerberos", "1.2.840.113554.1.2.2", "krb5"},
      {"Negotiate", "1.3.6.1.5.5.2", "spnego"}};
  private static int failures;
  private static String peerScript;

  private KerberosPeers() {}

  interface Check {
    void run() throws Exception;
  }

  /** One side of an exchange and its message protection. */
  interface Peer extends AutoCloseable {
    byte[] step(byte[] token) throws Exception;
    boolean done() throws Exception;
    String peerName() throws Exception;
    byte[] wrap(byte[] message) throws Exception;
    byte[] unwrap(byte[] token) throws Exception;
    @Override
    void close();
  }

  static final class Sspi implements Peer {
    final int handle;
    final boolean client;
    boolean started;

    Sspi(boolean client, String packageName) throws WinAuthException {
      this.client = client;
      this.handle = SSPI.CreateContext(client, FLAGS, packageName, client ? TARGET : null);
    }

    // Bound to a channel; a server's flags may allow a client bound to none.
    Sspi(boolean client, String packageName, byte[] bindings, int serverFlags) throws WinAuthException {
      this.client = client;
      this.handle = Extensions.CreateBoundContext(client, client ? FLAGS : serverFlags, packageName,
          client ? TARGET : null, bindings);
    }

    public byte[] step(byte[] token) throws Exception {
      if (client && !started) {
        started = true;
        return SSPI.GetChallengeToken(handle);
      }
      if (client) {
        SSPI.Initialize(handle, token);
      } else {
        SSPI.Accept(handle, token);
      }
      return SSPI.GetChallengeToken(handle);
    }

    public boolean done() throws Exception {
      try {
        SSPI.GetNegotiatedAttributes(handle);
        return true;
      } catch (WinAuthException e) {
        return false;
      }
    }

    public String peerName() throws Exception {
      return client ? null : SSPI.GetClientUserName(handle);
    }

    public byte[] wrap(byte[] message) throws Exception {
      return SSPI.Wrap(handle, message);
    }

    public byte[] unwrap(byte[] token) throws Exception {
      return SSPI.Unwrap(handle, token);
    }

    public void close() {
      SSPI.FreeHandle(handle);
    }
  }

  static final class Jgss implements Peer {
    final GSSContext context;
    final boolean client;

    Jgss(boolean client, String mechanism) throws GSSException {
      this.client = client;
      GSSManager manager = GSSManager.getInstance();
      if (client) {
        GSSName service = manager.createName("HTTP@localhost", GSSName.NT_HOSTBASED_SERVICE);
        context = manager.createContext(service, new Oid(mechanism), null, GSSContext.DEFAULT_LIFETIME);
        context.requestMutualAuth(true);
        context.requestConf(true);
      } else {
        context = manager.createContext((GSSCredential) null);
      }
    }

    public byte[] step(byte[] token) throws Exception {
      byte[] answer = client ? context.initSecContext(token, 0, token.length) : context.acceptSecContext(token, 0,
          token.length);
      return answer == null ? new byte[0] : answer;
    }

    public boolean done() {
      return context.isEstablished();
    }

    public String peerName() throws Exception {
      return client ? null : context.getSrcName().toString();
    }

    public byte[] wrap(byte[] message) throws Exception {
      return context.wrap(message, 0, message.length, new MessageProp(0, true));
    }

    public byte[] unwrap(byte[] token) throws Exception {
      return context.unwrap(token, 0, token.length, new MessageProp(0, false));
    }

    public void close() {
      try {
        context.dispose();
      } catch (GSSException e) {
        throw new IllegalStateException(e);
      }
    }
  }

  /** What a peer in another process answered instead of doing what it was asked. */
  static final class PeerError extends Exception {
    private static final long serialVersionUID = 1L;

    PeerError(String text) {
      super(text);
    }
  }

  /**
   * A peer in another process, driven line by line over its standard input and output (the
   * protocol of gss_peer.py); "error TEXT" answers throw PeerError(TEXT). Closing it ends its
   * input, and a peer that then exits with a failure status fails the check it served.
   */
  static class LinePeer implements Peer {
    final String label;
    final Process process;
    final PrintWriter in;
    final BufferedReader out;
    boolean done;
    String name;

    LinePeer(String label, Map<String, String> environment, String... command) throws Exception {
      this.label = label;
      ProcessBuilder builder = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT);
      builder.environment().putAll(environment);
      process = builder.start();
      in = new PrintWriter(process.getOutputStream(), true, StandardCharsets.US_ASCII);
      out = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
    }

    /** The answer's fields after the first, which must be `answer`; a request is "VERB B64[ MORE]". */
    String[] ask(String request, byte[] bytes, String more, String answer) throws Exception {
      in.println(request + " " + Base64.getEncoder().encodeToString(bytes) + (more.isEmpty() ? "" : " " + more));
      String line = out.readLine();
      if (line != null && line.startsWith("error ")) {
        throw new PeerError(line.substring(6));
      }
      if (line == null || !line.startsWith(answer + " ")) {
        throw new Exception(label + ": " + line);
      }
      return line.split(" ", 4);
    }

    private String[] ask(String verb, byte[] bytes, String answer) throws Exception {
      return ask(verb, bytes, "", answer);
    }

    public byte[] step(byte[] token) throws Exception {
      String[] answer = ask("step", token, "token");
      done = answer[2].equals("1");
      name = answer[3];
      return Base64.getDecoder().decode(answer[1]);
    }

    public boolean done() {
      return done;
    }

    public String peerName() {
      return name;
    }

    public byte[] wrap(byte[] message) throws Exception {
      return Base64.getDecoder().decode(ask("wrap", message, "wrapped")[1]);
    }

    public byte[] unwrap(byte[] token) throws Exception {
      return Base64.getDecoder().decode(ask("unwrap", token, "plain")[1]);
    }

    public void close() {
      in.close();
      int status;
      try {
        status = process.waitFor();
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        return;
      }
      if (status != 0) {
        throw new IllegalStateException(label + " exited with status " + status);
      }
    }
  }

  static final class Mit extends LinePeer {
    Mit(Map<String, String> environment, String... arguments) throws Exception {
      super("MIT peer", environment, withScript(arguments));
    }

    private static String[] withScript(String[] arguments) {
      String[] command = new String[arguments.length + 2];
      command[0] = "/usr/bin/python3";
      command[1] = peerScript;
      System.arraycopy(arguments, 0, command, 2, arguments.length);
      return command;
    }
  }

  static void check(String name, Check check) {
    try {
      check.run();
      System.out.println("ok " + name);
    } catch (Throwable t) {
      failures++;
      System.out.println("FAIL " + name + ": " + t);
    }
  }

  static void expect(boolean condition, String what) throws Exception {
    if (!condition) {
      throw new Exception(what);
    }
  }

  static void expectPlatformError(String status, Check check) throws Exception {
    try {
      check.run();
    } catch (WinAuthException e) {
      expect(e.getMessage().equals("Platform error: " + status), "expected " + status + ", got " + e.getMessage());
      return;
    }
    throw new Exception("expected Platform error: " + status + ", got none");
  }

  static void handshake(Peer client, Peer server) throws Exception {
    byte[] token = client.step(new byte[0]);
    for (int leg = 0; leg < 6; leg++) {
      byte[] answer = server.step(token);
      if (client.done() && server.done()) {
        return;
      }
      if (server.done() && answer.length == 0) {
        throw new Exception("the server is done, the client is not and has no token");
      }
      token = client.step(answer);
      if (client.done() && server.done()) {
        return;
      }
    }
    throw new Exception("no end to the exchange");
  }

  // A message each way, and a message with one byte changed refused by each side.
  static void protect(Peer a, Peer b) throws Exception {
    for (Peer[] pair : new Peer[][] {{a, b}, {b, a}}) {
      byte[] message = ("to the other side of " + pair[0].getClass().getSimpleName()).getBytes(StandardCharsets.UTF_8);
      byte[] wrapped = pair[0].wrap(message);
      expect(Arrays.equals(pair[1].unwrap(wrapped), message), "the message changed on its way");
      byte[] altered = pair[0].wrap(message);
      altered[altered.length / 2] ^= 0x20;
      boolean refused = false;
      try {
        pair[1].unwrap(altered);
      } catch (WinAuthException e) {
        expect(e.getMessage().equals("Platform error: 8009030f"), "altered message: " + e.getMessage());
        refused = true;
      } catch (Exception e) {
        refused = true;  // the peer's own refusal
      }
      expect(refused, "an altered message was accepted by " + pair[1].getClass().getSimpleName());
    }
  }

  static void pair(String label, Peer client, Peer server, String clientName) {
    check(label, () -> {
      try (client; server) {
        handshake(client, server);
        expect(clientName.equals(server.peerName()), "client name " + server.peerName());
        protect(client, server);
      }
    });
  }

  static void peers() throws Exception {
    String[][] mechanisms = MECHANISMS;
    Map<String, String> same = Map.of();
    for (String[] m : mechanisms) {
      pair(m[0] + ": JGSS client, SSPI server", new Jgss(true, m[1]), new Sspi(false, m[0]), "QTEST\\alice");
      pair(m[0] + ": SSPI client, JGSS server", new Sspi(true, m[0]), new Jgss(false, m[1]), "alice@QTEST.TEST");
      pair(m[0] + ": MIT client, SSPI server", new Mit(same, "client", "HTTP@localhost", m[2]), new Sspi(false, m[0]),
          "QTEST\\alice");
      pair(m[0] + ": SSPI client, MIT server", new Sspi(true, m[0]), new Mit(same, "server", m[2]), "alice@QTEST.TEST");
    }

    // Targets as Windows writes them, and the flags the mechanism really agreed: without mutual
    // authentication Kerberos needs one leg; delegation needs a forwardable ticket, which kinit
    // did not ask for.
    check("targets with a port and a realm, and the agreed flags", () -> {
      for (String target : new String[] {"HTTP/localhost:8443", "HTTP/localhost@QTEST.TEST"}) {
        int client = SSPI.CreateContext(true, 0x11, "Kerberos", target);  // delegation, confidentiality
        int server = SSPI.CreateContext(false, 0, "Kerberos", null);
        expect(SSPI.Accept(server, SSPI.GetChallengeToken(client)), target + ": not accepted in one leg");
        int agreed = SSPI.GetNegotiatedAttributes(client);
        expect((agreed & 0x13) == 0x10, target + ": client attributes " + Integer.toHexString(agreed));
        expect(SSPI.GetClientUserName(server).equals("QTEST\\alice"), target + ": " + SSPI.GetClientUserName(server));
        SSPI.FreeHandle(client);
        SSPI.FreeHandle(server);
      }
    });

    // The keytab holds HTTP/ keys, so by default a server takes tickets for those alone, whichever
    // other keys the keytab holds; a setting names others, or all.
    check("service principals a server accepts", () -> {
      acceptors(new String[] {"HTTP/localhost=ok", "host/localhost=80090322"});
      String[][] settings = {{"host/localhost", "host/localhost=ok", "HTTP/localhost=80090322"},
          {"HTTP/localhost@QTEST.TEST, host/localhost", "host/localhost=ok", "HTTP/localhost=ok"},
          {"*", "host/localhost=ok", "HTTP/localhost=ok"}, {"no/such principal@", "HTTP/localhost=80090322"}};
      for (String[] setting : settings) {
        child(Map.of("QUENTREL_ACCEPT_PRINCIPALS", setting[0]), "acceptors",
            Arrays.copyOfRange(setting, 1, setting.length));
      }
    });

    bindings();

    check("the library's own acceptor and GSSAPI's agree", () -> child(Map.of("QUENTREL_KERBEROS_ACCEPTOR", "gssapi"),
        "same-view", serverView().toArray(new String[0])));

    // Messages at the edges: empty, cut short, nothing at all; refused with a status, never a crash.
    check("an empty message, a cut one and none", () -> {
      try (Sspi client = new Sspi(true, "Negotiate"); Sspi server = new Sspi(false, "Negotiate")) {
        handshake(client, server);
        expect(SSPI.Unwrap(server.handle, SSPI.Wrap(client.handle, new byte[0])).length == 0, "the empty message is not empty");
        byte[] wrapped = SSPI.Wrap(client.handle, "cut short".getBytes(StandardCharsets.UTF_8));
        for (byte[] bad : new byte[][] {Arrays.copyOf(wrapped, wrapped.length - 5), Arrays.copyOf(wrapped, 10),
                                        new byte[0]}) {
          try {
            SSPI.Unwrap(server.handle, bad);
            throw new Exception(bad.length + " bytes unwrapped");
          } catch (WinAuthException e) {
            expect(e.getMessage().matches("Platform error: 8009030[8f]"), bad.length + " bytes: " + e.getMessage());
          }
        }
      }
    });

    // The failures a user meets, under each package: Negotiate must tell them apart as well.
    for (String[] m : mechanisms) {
      String p = m[0];
      check(p + ": a token that is none", () -> {
        int server = SSPI.CreateContext(false, 0, p, null);
        expectPlatformError("80090308", () -> SSPI.Accept(server, new byte[] {0x60, 1, 2, 3}));
        SSPI.FreeHandle(server);
      });
      check(p + ": a service the realm does not know", () -> expectPlatformError("80090303",
          () -> SSPI.CreateContext(true, FLAGS, p, "HTTP/nosuchhost")));
      check(p + ": a keytab whose key is a version behind", () -> {
        int client = SSPI.CreateContext(true, FLAGS, p, "HTTP/stale");
        int server = SSPI.CreateContext(false, 0, p, null);
        expectPlatformError("80090322", () -> SSPI.Accept(server, SSPI.GetChallengeToken(client)));
        SSPI.FreeHandle(client);
        SSPI.FreeHandle(server);
      });
      check(p + ": a replayed first token", () -> {
        int client = SSPI.CreateContext(true, FLAGS, p, TARGET);
        int first = SSPI.CreateContext(false, 0, p, null);
        int second = SSPI.CreateContext(false, 0, p, null);
        byte[] token = SSPI.GetChallengeToken(client);
        SSPI.Accept(first, token);
        expectPlatformError("8009030c", () -> SSPI.Accept(second, token));
        for (int handle : new int[] {client, first, second}) {
          SSPI.FreeHandle(handle);
        }
      });
      check(p + ": a client clock an hour off", () -> {
        String cache = System.getenv("KRB5CCNAME").replaceFirst("^FILE:", "");
        String skewed = new File(System.getenv("QTEST_REALM_DIR"), "skewed-ccache").getPath();
        new Mit(same, "skew", cache, skewed, "3600").close();
        try (Peer client = new Mit(Map.of("KRB5CCNAME", "FILE:" + skewed), "client", "HTTP@localhost", m[2]);
             Sspi server = new Sspi(false, p)) {
          byte[] token = client.step(new byte[0]);
          expectPlatformError("80090324", () -> server.step(token));
        }
      });
    }
  }

  // Channel bindings against MIT's own: a client bound to this channel signs on whether the server
  // requires bindings or allows their absence; one bound to another channel never does; one bound
  // to none only where allowed. And the library's bound client to MIT's server that requires them.
  // A bare Kerberos token signs on under Negotiate too, as Windows takes one. A context ends with
  // the client's ticket.
  static void bindings() throws Exception {
    byte[] here = "tls-server-end-point:this channel".getBytes(StandardCharsets.US_ASCII);
    String hereB64 = Base64.getEncoder().encodeToString(here);
    String thereB64 = Base64.getEncoder().encodeToString("tls-server-end-point:another".getBytes(StandardCharsets.US_ASCII));
    // The client's bindings ("" for none), the server's flags, the status expected ("" for success).
    String[][] rows = {{hereB64, "0", ""}, {hereB64, "268435456", ""}, {thereB64, "0", "80090346"},
        {thereB64, "268435456", "80090346"}, {"", "0", "80090346"}, {"", "268435456", ""}};
    for (String[] m : MECHANISMS) {
      for (String[] row : rows) {
        String label = m[0] + ": MIT client bound to " + (row[0].isEmpty() ? "no channel" : row[0].equals(hereB64)
            ? "this channel" : "another channel") + (row[1].equals("0") ? ", bindings required" : ", missing allowed");
        check(label, () -> {
          Map<String, String> environment = row[0].isEmpty() ? Map.of() : Map.of("GSS_PEER_BINDINGS", row[0]);
          try (Peer client = new Mit(environment, "client", "HTTP@localhost", m[2]);
               Sspi server = new Sspi(false, m[0], here, Integer.parseInt(row[1]))) {
            if (row[2].isEmpty()) {
              handshake(client, server);
              expect("QTEST\\alice".equals(server.peerName()), "client name " + server.peerName());
            } else {
              byte[] token = client.step(new byte[0]);
              expectPlatformError(row[2], () -> server.step(token));
            }
          }
        });
      }
      check(m[0] + ": the library's bound client to MIT's server that requires the same bindings", () -> {
        try (Sspi client = new Sspi(true, m[0], here, 0);
             Peer server = new Mit(Map.of("GSS_PEER_BINDINGS", hereB64), "server", m[2])) {
          handshake(client, server);
        }
        try (Sspi client = new Sspi(true, m[0], "tls-server-end-point:another".getBytes(StandardCharsets.US_ASCII), 0);
             Peer server = new Mit(Map.of("GSS_PEER_BINDINGS", hereB64), "server", m[2])) {
          handshake(client, server);
          throw new Exception("MIT's server took another channel's bindings");
        } catch (PeerError refused) {
          expect(refused.getMessage().toLowerCase().contains("binding"), "refused for " + refused.getMessage());
        }
      });
    }
    check("Negotiate: a bare Kerberos token signs on, and ends with the client's ticket", () -> {
      try (Peer client = new Mit(Map.of(), "client", "HTTP@localhost", "krb5");
           Sspi server = new Sspi(false, "Negotiate")) {
        handshake(client, server);
        expect("QTEST\\alice".equals(server.peerName()), "client name " + server.peerName());
        long ends = Extensions.GetContextExpiry(server.handle);
        long ticket = ticketEnd(System.getenv("KRB5CCNAME"));
        expect(Math.abs(ends - ticket) <= 2000, "context ends " + ends + ", the ticket " + ticket);
      }
    });
  }

  // When the ticket-granting ticket of a cache ends, as klist tells it, in milliseconds.
  static long ticketEnd(String cache) throws Exception {
    String listing = run("klist", "-c", cache);
    java.util.regex.Matcher line = java.util.regex.Pattern.compile(
        "(\\S+ \\S+)\\s+(\\S+ \\S+)\\s+krbtgt/").matcher(listing);
    expect(line.find(), "no ticket-granting ticket in " + listing);
    java.time.format.DateTimeFormatter format = java.time.format.DateTimeFormatter.ofPattern("MM/dd/yy HH:mm:ss");
    return java.time.LocalDateTime.parse(line.group(2), format).atZone(java.time.ZoneId.systemDefault())
        .toInstant().toEpochMilli();
  }

  // Servers share what the package acquired from the keytab before them; each must still take the
  // keytab as it is now. Last of the checks: it rewrites the realm's keytab, then removes it.
  static void keytabChanges() {
    String[][] mechanisms = MECHANISMS;
    File dir = new File(System.getenv("QTEST_REALM_DIR"));
    File keytab = new File(dir, "keytab");
    check("a rotated key replaces the old one at once", () -> {
      // Sign-ons under the old key, so that each package holds a credential of the old keytab.
      for (String[] m : mechanisms) {
        pair(m[0] + ": before the rotation", new Sspi(true, m[0]), new Sspi(false, m[0]), "QTEST\\alice");
      }
      run("kadmin.local", "-q", "cpw -randkey HTTP/localhost");
      File rotated = new File(dir, "keytab.rotated");
      run("kadmin.local", "-q", "ktadd -k " + rotated + " -norandkey HTTP/localhost");
      java.nio.file.Files.move(rotated.toPath(), keytab.toPath(), java.nio.file.StandardCopyOption.REPLACE_EXISTING,
          java.nio.file.StandardCopyOption.ATOMIC_MOVE);
      File cache = freshTicket("alice");
      for (String[] m : mechanisms) {
        try (Peer client = new Mit(Map.of("KRB5CCNAME", "FILE:" + cache), "client", "HTTP@localhost", m[2]);
             Sspi server = new Sspi(false, m[0])) {
          handshake(client, server);
          expect(SSPI.GetClientUserName(server.handle).equals("QTEST\\alice"), m[0] + ": the new key's client");
        }
        // The default cache still holds a ticket under the old key, which the keytab no longer has.
        try (Sspi client = new Sspi(true, m[0]); Sspi server = new Sspi(false, m[0])) {
          byte[] token = client.step(new byte[0]);
          try {
            server.step(token);
            throw new Exception(m[0] + ": a ticket under the key rotated out was accepted");
          } catch (WinAuthException expected) {
            // Refused, as by a server that never saw the old keytab.
          }
        }
      }
    });
    check("a keytab that is gone leaves no credentials", () -> {
      expect(keytab.delete(), "cannot remove the keytab");
      for (String[] m : mechanisms) {
        expectPlatformError("8009030e", () -> SSPI.FreeHandle(SSPI.CreateContext(false, 0, m[0], null)));
      }
    });
  }

  // A ticket cache of `user`, from kinit with `options`.
  static File kinit(String user, String name, String... options) throws Exception {
    File cache = new File(System.getenv("QTEST_REALM_DIR"), name);
    java.util.List<String> command = new java.util.ArrayList<>(java.util.List.of("kinit", "-c", "FILE:" + cache));
    command.addAll(Arrays.asList(options));
    command.add(user);
    Process kinit = new ProcessBuilder(command).redirectErrorStream(true).start();
    try (PrintWriter password = new PrintWriter(kinit.getOutputStream(), true, StandardCharsets.UTF_8)) {
      password.println(System.getenv("QTEST_PASSWORD"));
    }
    expect(kinit.waitFor() == 0, "kinit " + user + " failed");
    return cache;
  }

  // A server keeps a client's forwardable ticket as evidence for constrained delegation; a thread
  // impersonating the client reaches the service itself with it, until it runs out.
  static void keptTicket() {
    check("a kept ticket, used and then run out", () -> {
      // alice maps to the process's account; where that is root, she is acted as nobody, who reads
      // the realm's krb5.conf as anyone reads /etc/krb5.conf.
      Process open = new ProcessBuilder("chmod", "a+rx", System.getenv("QTEST_REALM_DIR")).start();
      expect(open.waitFor() == 0 && new File(System.getenv("KRB5_CONFIG")).setReadable(true, false),
          "cannot open the realm's configuration to all");
      File cache = kinit("alice", "brief-ccache", "-f", "-l", "6s");
      long expires = System.currentTimeMillis() + 6000;
      try (Sspi server = new Sspi(false, "Kerberos");
           Peer client = new Mit(Map.of("KRB5CCNAME", "FILE:" + cache), "client", "HTTP@localhost", "krb5")) {
        handshake(client, server);
        SSPI.StartImpersonating(server.handle);
        int hop;
        try {
          hop = SSPI.CreateContext(true, 0, "Kerberos", TARGET);
        } finally {
          SSPI.StopImpersonating(server.handle);
        }
        int back = SSPI.CreateContext(false, 0, "Kerberos", null);
        SSPI.Accept(back, SSPI.GetChallengeToken(hop));
        expect(SSPI.GetClientUserName(back).equals("QTEST\\alice"), "the second hop named " + SSPI.GetClientUserName(back));
        SSPI.FreeHandle(back);
        SSPI.FreeHandle(hop);
        Thread.sleep(Math.max(0, expires - System.currentTimeMillis()) + 1000);
        SSPI.StartImpersonating(server.handle);
        try {
          expectPlatformError("80090317", () -> SSPI.CreateContext(true, 0, "Kerberos", TARGET));
        } finally {
          SSPI.StopImpersonating(server.handle);
        }
      }
    });
  }

  // The folder and the users' password of the realm, or of the domain when the test runs in one.
  static String testDir() {
    return System.getenv("AD_DIR") != null ? System.getenv("AD_DIR") : System.getenv("QTEST_REALM_DIR");
  }

  // A server context authenticated by MIT's client with the ticket of `user`.
  static Sspi serverOf(String user) throws Exception {
    return serverOf(user, "Kerberos");
  }

  // The same for a principal written as printf(1) would write it ("alice\\360@QTEST.EVIL" for a
  // name with the byte 0xF0, which no Java string holds), under either package.
  static Sspi serverOf(String principal, String packageName) throws Exception {
    File cache = ticketOf(principal);
    Sspi server = new Sspi(false, packageName);
    try (Peer client = new Mit(Map.of("KRB5CCNAME", "FILE:" + cache), "client", "HTTP@localhost",
             packageName.equals("Kerberos") ? "krb5" : "spnego")) {
      handshake(client, server);
    } catch (Exception e) {
      server.close();
      throw e;
    }
    return server;
  }

  private static final Map<String, File> TICKETS = new HashMap<>();

  // A ticket cache holding a ticket of the principal (written as printf(1) would write it), made once.
  static File ticketOf(String principal) throws Exception {
    File made = TICKETS.get(principal);
    if (made == null) {
      made = freshTicket(principal);
      TICKETS.put(principal, made);
    }
    return made;
  }

  // A new ticket cache holding a ticket of the principal just asked of the KDC.
  static File freshTicket(String principal) throws Exception {
    File cache = File.createTempFile("ccache-", "", new File(testDir()));
    Process kinit = new ProcessBuilder("sh", "-c", "exec kinit -c \"FILE:$1\" \"$(printf \"$2\")\"", "kinit",
        cache.getPath(), principal).redirectErrorStream(true).start();
    try (PrintWriter password = new PrintWriter(kinit.getOutputStream(), true, StandardCharsets.UTF_8)) {
      password.println(System.getenv(System.getenv("AD_PASSWORD") != null ? "AD_PASSWORD" : "QTEST_PASSWORD"));
    }
    String said = new String(kinit.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    expect(kinit.waitFor() == 0, "kinit " + principal + " failed: " + said);
    return cache;
  }

  // This program again in a JVM of its own, with more in its environment: settings the library
  // reads from the environment, which a running JVM cannot change. It must pass all its checks.
  static void child(Map<String, String> environment, String mode, String... arguments) throws Exception {
    List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString()));
    command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
    command.addAll(List.of("-cp", System.getProperty("java.class.path"), KerberosPeers.class.getName(), mode,
        peerScript));
    command.addAll(Arrays.asList(arguments));
    ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
    builder.environment().putAll(environment);
    Process process = builder.start();
    String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    expect(process.waitFor() == 0 && output.contains("all passed"), environment + " " + mode + ":\n" + output);
  }

  // Each TARGET=STATUS: a Kerberos client of TARGET, and the server accepting ("ok") or refusing
  // with that status.
  static void acceptors(String[] expectations) throws Exception {
    for (String expectation : expectations) {
      String target = expectation.substring(0, expectation.indexOf('='));
      String status = expectation.substring(expectation.indexOf('=') + 1);
      int client = SSPI.CreateContext(true, 0, "Kerberos", target);
      int server = SSPI.CreateContext(false, 0, "Kerberos", null);
      try {
        if (status.equals("ok")) {
          expect(SSPI.Accept(server, SSPI.GetChallengeToken(client)), target + ": not accepted");
        } else {
          expectPlatformError(status, () -> SSPI.Accept(server, SSPI.GetChallengeToken(client)));
        }
      } finally {
        SSPI.FreeHandle(client);
        SSPI.FreeHandle(server);
      }
    }
  }

  // What a server shows of sign-ons of each package, with and without mutual authentication: its
  // attributes, client name and report, the length of its wrap of a 41-byte message, whether a
  // client's message opened twice is refused the second time, and last when it expires (seconds).
  static List<String> serverView() throws Exception {
    List<String> view = new ArrayList<>();
    for (String[] m : MECHANISMS) {
      for (int flags : new int[] {0x800, FLAGS}) {
        int client = SSPI.CreateContext(true, flags, m[0], TARGET);
        int server = SSPI.CreateContext(false, 0, m[0], null);
        try {
          SSPI.Accept(server, SSPI.GetChallengeToken(client));
          byte[] answer = SSPI.GetChallengeToken(server);
          if (answer.length > 0) {
            SSPI.Initialize(client, answer);
          }
          byte[] message = SSPI.Wrap(client, new byte[41]);
          SSPI.Unwrap(server, message.clone());
          String again;
          try {
            SSPI.Unwrap(server, message);
            again = "opened again";
          } catch (WinAuthException e) {
            again = e.getMessage();
          }
          view.add(m[0] + " " + Integer.toHexString(flags) + ": " + Integer.toHexString(SSPI.GetNegotiatedAttributes(server))
              + " " + SSPI.GetClientUserName(server) + " wrap " + SSPI.Wrap(server, new byte[41]).length + " twice " + again
              + " | " + SSPI.GetContextInformation(server).replace('\n', ';'));
          SSPI.Unwrap(client, SSPI.Wrap(server, new byte[3]));
          view.add(Long.toString(Extensions.GetContextExpiry(server) / 1000));
        } finally {
          SSPI.FreeHandle(client);
          SSPI.FreeHandle(server);
        }
      }
    }
    return view;
  }

  // The same sign-ons, accepted here by GSSAPI, show the same as `expected` (the library's own
  // acceptor's view), the expiry within two seconds.
  static void sameView(String[] expected) throws Exception {
    check("GSSAPI's acceptor shows what the library's own does", () -> {
      List<String> view = serverView();
      expect(view.size() == expected.length, "views of " + view.size() + " and " + expected.length + " lines");
      for (int i = 0; i < expected.length; i += 2) {
        expect(view.get(i).equals(expected[i]), "GSSAPI's: " + view.get(i) + "\nthe library's: " + expected[i]);
        long apart = Math.abs(Long.parseLong(view.get(i + 1)) - Long.parseLong(expected[i + 1]));
        expect(apart <= 2, view.get(i) + ": expiries " + apart + " s apart");
      }
    });
  }

  static byte[] read(File file) throws Exception {
    return java.nio.file.Files.readAllBytes(file.toPath());
  }

  static boolean readable(File file) {
    try {
      read(file);
      return true;
    } catch (Exception e) {
      return false;
    }
  }

  // Files that only bob (mapped to "nobody") may read, only alice's account, and only root:
  // impersonating, the thread reads as the client, and as itself again after.
  static File clients;
  static File alices;
  static File roots;

  static void identity() throws Exception {
    File dir = new File(System.getenv("QTEST_REALM_DIR"));
    clients = new File(dir, "clients-file");
    alices = new File(dir, "alices-file");
    roots = new File(dir, "roots-file");
    java.nio.file.Files.writeString(clients.toPath(), "bob's");
    java.nio.file.Files.writeString(alices.toPath(), "alice's");
    java.nio.file.Files.writeString(roots.toPath(), "root's");
    Process own = new ProcessBuilder("sh", "-c", "chown nobody " + clients + " && chown " + System.getenv("QTEST_ALICE")
        + " " + alices + " && chmod 0400 " + clients + " " + alices + " " + roots + " && chmod 0711 " + dir).start();
    expect(own.waitFor() == 0, "cannot give the files their owners");

    // A principal that maps to a system account gets no local identity unless the site allows it:
    // alice maps to an unprivileged account, root and daemon to uid 0 and 1.
    check("system accounts are no client's identity by default", () -> {
      systemAccounts(new String[] {"root=none", "daemon=none", "alice=user"});
      child(Map.of("QUENTREL_ALLOW_SYSTEM_ACCOUNTS", "root"), "system-accounts", "root=admin", "daemon=none");
    });

    check("a client's name, groups and files", () -> {
      try (Sspi server = serverOf("bob")) {
        expect(SSPI.GetClientUserName(server.handle).equals("QTEST\\bob"), SSPI.GetClientUserName(server.handle));
        expect(SSPI.IsGroupMember(server.handle, "BUILTIN\\Users"), "bob is no member of BUILTIN\\Users");
        expect(SSPI.IsGroupMember(server.handle, "nogroup"), "bob, who is nobody, is no member of nogroup");
        expect(!SSPI.IsGroupMember(server.handle, "BUILTIN\\Administrators"), "bob is an administrator");
        SSPI.StartImpersonating(server.handle);
        String as = whoReads();
        SSPI.StopImpersonating(server.handle);
        expect(as.equals("bob"), "impersonating bob, the thread reads as " + as);
        expect(whoReads().equals("root"), "after StopImpersonating the thread reads as " + whoReads());
        expect(SSPI.GetContextInformation(server.handle).contains("\nImpersonation level: Impersonation"),
            SSPI.GetContextInformation(server.handle));
      }
    });
    check("a client of no account", () -> {
      try (Sspi server = serverOf("carol")) {
        expect(SSPI.GetClientUserName(server.handle).equals("QTEST\\carol"), SSPI.GetClientUserName(server.handle));
        expect(!SSPI.IsGroupMember(server.handle, "BUILTIN\\Users"), "carol, of no account, is in BUILTIN\\Users");
        expect(!SSPI.IsGroupMember(server.handle, "nogroup"), "carol, of no account, is in nogroup");
        SSPI.StartImpersonating(server.handle);
        String as = whoReads();
        SSPI.StopImpersonating(server.handle);
        expect(as.equals("bob"), "carol is acted as nobody, who reads bob's file; she read as " + as);
      }
    });
    // A client's Windows name is the account its token comes from: alice is her account, bob nobody.
    check("a realm user's name is the account the realm maps it to", () -> {
      String[][] names = {{"QTEST\\alice", UserAuth.GetUserSID(System.getenv("QTEST_ALICE"))},
          {"qtest\\bob", UserAuth.GetUserSID("nobody")}, {"QTEST\\carol", null}, {"OTHER\\bob", null},
          {"bob@QTEST.TEST", UserAuth.GetUserSID("nobody")}};
      for (String[] name : names) {
        String sid = UserAuth.GetUserSID(name[0]);
        expect(name[1] == null ? sid == null : name[1].startsWith("S-1-22-1-") && name[1].equals(sid), name[0] + ": " + sid);
      }
      int context = UserAuth.CreateUserContext("QTEST\\bob");
      try {
        expect(UserAuth.IsGroupMember(context, "nogroup"), "QTEST\\bob, who is nobody, is no member of nogroup");
      } finally {
        UserAuth.FreeHandle(context);
      }
    });
    // The keytab is root's alone: a thread acting as bob may not accept with it, whatever servers
    // of the process's own identity acquired before.
    check("a thread acting as a client gets no credential of the process's", () -> {
      new Sspi(false, "Negotiate").close();
      try (Sspi server = serverOf("bob")) {
        SSPI.StartImpersonating(server.handle);
        try {
          for (String packageName : new String[] {"Kerberos", "Negotiate"}) {
            expectPlatformError("8009030e", () -> SSPI.FreeHandle(SSPI.CreateContext(false, 0, packageName, null)));
          }
        } finally {
          SSPI.StopImpersonating(server.handle);
        }
        new Sspi(false, "Negotiate").close();
      }
    });
    check("freeing an impersonating context gives the thread back", () -> {
      Sspi server = serverOf("bob");
      SSPI.StartImpersonating(server.handle);
      server.close();
      expect(whoReads().equals("root"), "the thread still reads as " + whoReads());
    });
    threads();
  }

  // Who the calling thread reads files as: "root", "alice" (her account), "bob" (nobody), or
  // "none of them" for any other.
  static String whoReads() {
    return readable(roots) ? "root" : readable(alices) ? "alice" : readable(clients) ? "bob" : "none of them";
  }

  // The Java scope and the threads around it.
  static void threads() throws Exception {
    check("a group check inside a scope leaves the thread the client", () -> {
      try (ServerContext bob = serverContextOf("bob"); ServerContext alice = serverContextOf("alice")) {
        try (ServerContext.Impersonation as = bob.impersonate()) {
          expect(bob.isMember("BUILTIN\\Users") && !alice.isMember("BUILTIN\\Administrators"), "bob's and alice's groups");
          expect(whoReads().equals("bob") && as.active(), "after the checks the thread reads as " + whoReads());
          try {
            bob.isMember("no such group");
            throw new Exception("a group that does not exist");
          } catch (GroupNotFoundException e) {
            expect(whoReads().equals("bob") && as.active(), "after a failed check the thread reads as " + whoReads());
          }
        }
        expect(whoReads().equals("root"), "after the scope the thread reads as " + whoReads());
      }
    });
    check("a context freed by another thread leaves that thread as it was", () -> {
      ServerContext bob = serverContextOf("bob");
      ServerContext alice = serverContextOf("alice");
      String[] closer = new String[2];
      CountDownLatch impersonating = new CountDownLatch(1);
      // Started before the main thread impersonates, so that it begins as the process.
      Thread other = new Thread(() -> {
        try (ServerContext.Impersonation alicesScope = alice.impersonate()) {
          impersonating.await();
          bob.close();  // the context the main thread impersonates through
          closer[0] = alicesScope.active() ? whoReads() : "alice's scope closed";
        } catch (Exception e) {
          closer[0] = e.toString();
        }
        closer[1] = whoReads();
      });
      other.start();
      ServerContext.Impersonation as = bob.impersonate();
      impersonating.countDown();
      other.join();
      expect("alice".equals(closer[0]) && "root".equals(closer[1]), "the closing thread read as " + Arrays.toString(closer));
      // The impersonating thread is the client until its next call into the library.
      expect(whoReads().equals("bob"), "before its next call the thread reads as " + whoReads());
      try {
        as.close();
        throw new Exception("closing the scope of a freed context said nothing");
      } catch (WinAuthException e) {
        expect(e.getMessage().equals("Invalid handle") && !as.active(), "closing the scope: " + e.getMessage());
      }
      expect(whoReads().equals("root"), "after its next call the thread reads as " + whoReads());
      alice.close();
    });
    check("a thread started inside a scope is the client until it calls the library", () -> {
      try (ServerContext bob = serverContextOf("bob")) {
        String[] seen = new String[2];
        try (ServerContext.Impersonation as = bob.impersonate()) {
          expect(as.active(), "the scope is not active");
          Thread child = new Thread(() -> {
            seen[0] = whoReads();  // Linux hands a new thread its creator's ids
            WinUtil.GetComputerNameNetBIOS();
            seen[1] = whoReads();
          });
          child.start();
          child.join();
        }
        expect("bob".equals(seen[0]) && "root".equals(seen[1]), "the child thread read as " + Arrays.toString(seen));
      }
    });
  }

  // A context object authenticated by MIT's client with the ticket of `user`.
  static ServerContext serverContextOf(String user) throws Exception {
    File cache = ticketOf(user);
    ServerContext server = ServerContext.open("Kerberos");
    try (Peer client = new Mit(Map.of("KRB5CCNAME", "FILE:" + cache), "client", "HTTP@localhost", "krb5")) {
      SecurityContext.Step step = server.accept(client.step(new byte[0]));
      while (!step.complete()) {
        step = server.accept(client.step(step.token()));
      }
      if (!client.done()) {
        client.step(step.token());  // the final token of mutual authentication
      }
    } catch (Exception e) {
      server.close();
      throw e;
    }
    return server;
  }

  // Each USER=ANSWER: what the server context of USER's ticket gives: "none" (no SID, no groups but
  // Everyone's, impersonated as nobody), "user" (an ordinary account) or "admin" (root's).
  static void systemAccounts(String[] expectations) throws Exception {
    for (String expectation : expectations) {
      String user = expectation.substring(0, expectation.indexOf('='));
      String answer = expectation.substring(expectation.indexOf('=') + 1);
      try (Sspi server = serverOf(user)) {
        String name = SSPI.GetClientUserName(server.handle);
        expect(name.equals("QTEST\\" + user), user + " is named " + name);
        String sid = UserAuth.GetUserSID(name);
        boolean users = SSPI.IsGroupMember(server.handle, "BUILTIN\\Users");
        boolean admin = SSPI.IsGroupMember(server.handle, "BUILTIN\\Administrators");
        String got = sid == null && !users && !admin ? "none" : sid != null && users && !admin ? "user"
            : sid != null && sid.equals("S-1-22-1-0") && admin ? "admin" : "sid " + sid + ", users " + users + ", admin " + admin;
        expect(got.equals(answer), user + ": " + got);
        if (roots != null) {
          SSPI.StartImpersonating(server.handle);
          String as = whoReads();
          SSPI.StopImpersonating(server.handle);
          String wanted = answer.equals("none") ? "bob" : answer.equals("admin") ? "root" : "alice";
          expect(as.equals(wanted), user + " impersonated reads as " + as);
        }
      }
    }
  }

  // Each principal of both realms: its Windows name, the account that name maps back to, and
  // whether the server refuses it, under each QUENTREL_REALM_DOMAINS the test runs with: none (the
  // trusted realm's users are name@QTEST.EVIL, never QTEST\name, which is the default realm's), a
  // domain name for the trusted realm, the default realm's own (which then names neither realm's
  // users), and BUILTIN (which looks local, so names none).
  static void names() throws Exception {
    String setting = System.getenv("QUENTREL_REALM_DOMAINS");
    List<String> settings = Arrays.asList(null, "QTEST.EVIL=EVIL", "QTEST.EVIL=QTEST", "QTEST.EVIL=BUILTIN");
    int column = settings.indexOf(setting);
    expect(column >= 0, "no expectations for QUENTREL_REALM_DOMAINS=" + setting);
    String aliceSid = UserAuth.GetUserSID(System.getenv("QTEST_ALICE"));
    // principal (as printf writes it), its name under each setting, its account's SID
    String[][] rows = {
        {"alice@QTEST.TEST", "QTEST\\alice", "QTEST\\alice", "alice@QTEST.TEST", "QTEST\\alice", aliceSid},
        {"alice@QTEST.EVIL", "alice@QTEST.EVIL", "EVIL\\alice", "alice@QTEST.EVIL", "alice@QTEST.EVIL", null},
        {"j\\303\\263zef@QTEST.EVIL", "j\u00f3zef@QTEST.EVIL", "EVIL\\j\u00f3zef", "j\u00f3zef@QTEST.EVIL",
            "j\u00f3zef@QTEST.EVIL", null},
        {"root@QTEST.TEST", "QTEST\\root", "QTEST\\root", "root@QTEST.TEST", "QTEST\\root", null},
        // No well-formed text: a lead byte alone, an overlong NUL, an encoded surrogate, NUL itself.
        {"alice\\360@QTEST.EVIL", null, null, null, null, null},
        {"al\\300\\200ice@QTEST.EVIL", null, null, null, null, null},
        {"sur\\355\\240\\200@QTEST.EVIL", null, null, null, null, null},
        {"nul\\\\0byte@QTEST.EVIL", null, null, null, null, null},
        // Control characters, which no account name holds.
        {"ctl\\033[31m@QTEST.EVIL", null, null, null, null, null},
        {"line\\\\nbreak@QTEST.EVIL", null, null, null, null, null},
    };
    for (String[] row : rows) {
      String expected = row[1 + column];
      String sidWanted = row[5];
      // Every setting is run under Kerberos; the one without a setting under Negotiate too.
      for (String packageName : column == 0 ? new String[] {"Kerberos", "Negotiate"} : new String[] {"Kerberos"}) {
        check(packageName + ": " + row[0] + " is " + expected, () -> {
          if (expected == null) {
            expectPlatformError("8009030c", () -> serverOf(row[0], packageName).close());
            return;
          }
          try (Sspi server = serverOf(row[0], packageName)) {
            String name = SSPI.GetClientUserName(server.handle);
            expect(name.equals(expected), "named " + name);
            String sid = UserAuth.GetUserSID(name);
            expect(sidWanted == null ? sid == null : sidWanted.equals(sid), name + " maps back to " + sid);
            // The token agrees with the way back: an account's groups, or Everyone's alone.
            expect(SSPI.IsGroupMember(server.handle, "BUILTIN\\Users") == (sidWanted != null), name + "'s token");
            expect(!SSPI.IsGroupMember(server.handle, "BUILTIN\\Administrators"), name + " is an administrator");
          }
        });
      }
    }
    // The trusted realm's alice is never the default realm's: neither by name nor by account.
    check("a colliding realm's user has a name and an account of its own", () -> {
      for (String name : new String[] {"alice@QTEST.EVIL", "EVIL\\alice", "BUILTIN\\alice"}) {
        expect(UserAuth.GetUserSID(name) == null, name + " maps to " + UserAuth.GetUserSID(name));
      }
      expect(aliceSid != null && aliceSid.equals(UserAuth.GetUserSID("alice@QTEST.TEST")), "alice@QTEST.TEST");
    });
  }

  // The output of a command, which must succeed.
  static String run(String... command) throws Exception {
    Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
    String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    expect(process.waitFor() == 0, String.join(" ", command) + ": " + output);
    return output;
  }

  // Each user's answer to BUILTIN\Administrators in a JVM of its own whose domain administrator
  // groups are the one group `sid`: so whether each user's PAC token holds that SID.
  static String probe(String sid, String... users) throws Exception {
    String[] command = {System.getProperty("java.home") + "/bin/java", "-Xcheck:jni",
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp", System.getProperty("java.class.path"),
        "KerberosPeers", "domain-probe", peerScript};
    String[] full = Arrays.copyOf(command, command.length + users.length);
    System.arraycopy(users, 0, full, command.length, users.length);
    ProcessBuilder builder = new ProcessBuilder(full).redirectErrorStream(true);
    builder.environment().put("QUENTREL_DOMAIN_ADMIN_GROUPS", sid);
    Process child = builder.start();
    String output = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    child.waitFor();
    String answer = null;
    for (String line : output.split("\n")) {
      if (line.startsWith("probe ")) {
        answer = line.substring(6);
      } else if (!line.isEmpty()) {
        System.out.println("  probe: " + line);  // a JNI warning or a failure shows in this run's output
      }
    }
    return answer;
  }

  static void domainProbe(String[] users) throws Exception {
    StringBuilder answer = new StringBuilder("probe");
    for (String user : users) {
      try (Sspi server = serverOf(user)) {
        answer.append(' ').append(user).append('=').append(SSPI.IsGroupMember(server.handle, "BUILTIN\\Administrators"));
      }
    }
    System.out.println(answer);
  }

  // The test domain's users, whose tokens come from the PACs of their tickets: alice in Engineers,
  // in Staff through it and in the domain-local Printers; carol in Domain Users alone; dave in
  // Domain Admins. The groups are asked for by SID, as winbind names them.
  static void domain() throws Exception {
    String domain = System.getenv("AD_DOMAIN");
    String[] users = {"alice", "carol", "dave"};
    for (String user : users) {
      check("the PAC of " + user + ": name and the aliases of a member server", () -> {
        try (Sspi server = serverOf(user)) {
          String name = SSPI.GetClientUserName(server.handle);
          expect(name.equals(domain + "\\" + user), user + " is named " + name);
          expect(SSPI.IsGroupMember(server.handle, "BUILTIN\\Users"), user + " is not in BUILTIN\\Users");
          boolean administrator = SSPI.IsGroupMember(server.handle, "BUILTIN\\Administrators");
          expect(administrator == user.equals("dave"), user + " is an administrator: " + administrator);
        }
      });
    }
    String[][] groups = {{"Engineers", "alice=true carol=false dave=false"},
        {"Staff", "alice=true carol=false dave=false"}, {"Printers", "alice=true carol=false dave=false"},
        {"Domain Users", "alice=true carol=true dave=true"}, {"Domain Admins", "alice=false carol=false dave=true"}};
    for (String[] group : groups) {
      check("the PACs' holders of " + group[0], () -> {
        String sid = run("wbinfo", "-n", domain + "\\" + group[0]).split(" ")[0];
        expect(sid.startsWith("S-1-5-21-"), group[0] + " is " + sid);
        String answer = probe(sid, users);
        expect(group[1].equals(answer), group[0] + " (" + sid + "): " + answer);
      });
    }
    // The same groups by their names, which this server's directory (winbind here) resolves.
    check("the PACs' holders of the domain's groups asked for by name", () -> {
      Map<String, StringBuilder> holders = new java.util.LinkedHashMap<>();
      for (String user : users) {
        try (Sspi server = serverOf(user)) {
          for (String[] group : groups) {
            holders.computeIfAbsent(group[0], name -> new StringBuilder()).append(' ').append(user).append('=')
                .append(SSPI.IsGroupMember(server.handle, domain + "\\" + group[0]));
          }
        }
      }
      for (String[] group : groups) {
        String answer = holders.get(group[0]).toString().trim();
        expect(group[1].equals(answer), domain + "\\" + group[0] + ": " + answer);
      }
    });
    check("a ticket altered after issue is refused", () -> {
      try (Peer client = new Mit(Map.of("KRB5CCNAME", "FILE:" + ticketOf("alice")), "client", "HTTP@localhost", "krb5");
           Sspi server = new Sspi(false, "Kerberos")) {
        byte[] token = client.step(new byte[0]);
        token[token.length / 2] ^= 0x01;  // inside the ticket's encrypted part, which holds the PAC
        // The ticket no longer decrypts under the service's key. Windows cannot tell that from a
        // ticket sealed with another key (both are krb5's integrity failure) and answers both as
        // a ticket for another principal.
        expectPlatformError("80090322", () -> server.step(token));
      }
    });
    File dir = new File(testDir());
    File alices = new File(dir, "alices-file");
    java.nio.file.Files.writeString(alices.toPath(), "alice's");
    check("impersonating a PAC's client acts as the account winbind gives it", () -> {
      String uid = run("getent", "passwd", domain + "\\alice").split(":")[2];
      run("sh", "-c", "chown " + uid + " " + alices + " && chmod 0400 " + alices + " && chmod 0711 " + dir);
      for (String user : new String[] {"alice", "carol"}) {
        try (Sspi server = serverOf(user)) {
          SSPI.StartImpersonating(server.handle);
          boolean read = readable(alices);
          SSPI.StopImpersonating(server.handle);
          expect(read == user.equals("alice"), user + " (uid of alice " + uid + ") read alice's file: " + read);
        }
      }
    });
  }

  // alice maps to an account other than the process's: an account that may not switch identities
  // is refused with Windows' error.
  static void unprivileged() {
    check("impersonation without the privilege", () -> {
      try (Sspi server = serverOf("alice")) {
        expectPlatformError("00000522", () -> SSPI.StartImpersonating(server.handle));
        expectPlatformError("00000522", () -> SSPI.IsGroupMember(server.handle, "BUILTIN\\Users"));
      }
    });
  }

  // ---- the library's Windows DLL under Wine, with Wine's Kerberos package under it ----

  private static String[] wineCommand;

  /**
   * A side under Wine with `user`'s ticket: "client" or "server" through the DLL, "platform-client"
   * through Wine's SSPI alone.
   */
  static LinePeer wine(String role, String packageName, String user) throws Exception {
    String[] command = Arrays.copyOf(wineCommand, wineCommand.length + 4);
    System.arraycopy(new String[] {"--peer", role, packageName, TARGET}, 0, command, wineCommand.length, 4);
    Map<String, String> environment = user.equals("alice") ? Map.of() : Map.of("KRB5CCNAME", "FILE:" + ticketOf(user));
    return new LinePeer("Wine " + role, environment, command);
  }

  // Sign-ons between Wine and the server: who runs under Wine, whose ticket it has, the package
  // there and here, and how it ends: "established", or what the Linux side threw. Wine's
  // Negotiate sends the bare Kerberos token, without SPNEGO around it, which MIT's SPNEGO
  // acceptor does not take.
  static final String[][] WINE_SIGN_ONS = {
      {"client", "alice", "Kerberos", "Kerberos", "established"},
      {"client", "alice", "Negotiate", "Kerberos", "established"},
      {"client", "carol", "Kerberos", "Kerberos", "established"},
      // Wine's Negotiate sends a bare Kerberos token, which a Negotiate server takes as Windows' does.
      {"client", "alice", "Kerberos", "Negotiate", "established"},
      {"client", "alice", "Negotiate", "Negotiate", "established"},
      {"server", "alice", "Kerberos", "Kerberos", "established"},
      {"server", "alice", "Negotiate", "Negotiate", "established"},
  };

  // What the server answers about the groups of a client signed on through Wine: "true", "false"
  // or the simple name of the exception. alice is in Engineers, so in Staff and the domain-local
  // Printers; carol in Domain Users alone. Their tokens come from their tickets' PACs: a domain
  // user is in BUILTIN\Users, and the test makes Staff the administrators' group of this member
  // server (QUENTREL_DOMAIN_ADMIN_GROUPS), which alice is in through Engineers alone. The domain's
  // own names resolve through its controllers, which the server asks with its keytab's key.
  static final String[][] GROUPS = {
      {"alice", "DOMAIN\\Engineers", "true"},
      {"alice", "DOMAIN\\Staff", "true"},
      {"alice", "DOMAIN\\Printers", "true"},
      {"alice", "DOMAIN\\Domain Users", "true"},
      {"alice", "DOMAIN\\Domain Admins", "false"},
      {"alice", "DOMAIN\\nosuchgroup", "GroupNotFoundException"},
      {"alice", "Everyone", "GroupNotFoundException"},
      {"alice", "BUILTIN\\Users", "true"},
      {"alice", "BUILTIN\\Administrators", "true"},
      {"carol", "BUILTIN\\Users", "true"},
      {"carol", "BUILTIN\\Administrators", "false"},
  };

  static String membership(int server, String group) {
    try {
      return Boolean.toString(SSPI.IsGroupMember(server, group));
    } catch (Exception e) {
      return e.getClass().getSimpleName();
    }
  }

  static void wineSignOns() {
    String domain = System.getenv("AD_DOMAIN");
    for (String[] row : WINE_SIGN_ONS) {
      boolean wineClient = row[0].equals("client");
      String user = row[1];
      String label = wineClient ? user + " on Wine's " + row[2] + " through the DLL, to the server's " + row[3]
          : user + " on the Linux library's " + row[3] + " client, to Wine's " + row[2] + " through the DLL";
      check(label + ": " + row[4], () -> {
        try (LinePeer wine = wine(row[0], row[2], user); Sspi linux = new Sspi(!wineClient, row[3])) {
          String outcome = "established";
          try {
            if (wineClient) {
              handshake(wine, linux);
            } else {
              handshake(linux, wine);
            }
          } catch (WinAuthException e) {
            outcome = e.getMessage();
          }
          expect(outcome.equals(row[4]), "the sign-on: " + outcome);
          if (!outcome.equals("established")) {
            return;
          }
          if (!wineClient) {
            // Wine's package answers no names query: the DLL throws its status.
            expect(wine.peerName().equals(domain + "\\" + user)
                || wine.peerName().equals("(WinAuthException: Platform error: 80090302)"),
                "the client's name under Wine: " + wine.peerName());
            return;
          }
          expect(linux.peerName().equals(domain + "\\" + user), "the client's name: " + linux.peerName());
          StringBuilder wrong = new StringBuilder();
          for (String[] group : GROUPS) {
            if (!group[0].equals(user)) {
              continue;
            }
            String name = group[1].replace("DOMAIN", domain);
            String answer = membership(linux.handle, name);
            System.out.println("  " + user + " in " + name + ": " + answer);
            if (!answer.equals(group[2])) {
              wrong.append(name).append(": ").append(answer).append(", expected ").append(group[2]).append("; ");
            }
          }
          expect(wrong.length() == 0, "the groups: " + wrong);
        }
      });
    }
  }

  // alice on Wine's Kerberos asks to delegate through the DLL: the server keeps her forwarded
  // ticket, and, impersonating her, reaches the back end (MIT's acceptor with its keytab) as her.
  static void wineDelegation() {
    peerScript = new File(new File(wineCommand[0]).getAbsoluteFile().getParentFile().getParentFile(),
        "system/gss_peer.py").getPath();
    check("alice on Wine's Kerberos through the DLL delegates to the server, whose second hop goes as her", () -> {
      try (LinePeer wine = wine("delegating-client", "Kerberos", "alice"); Sspi linux = new Sspi(false, "Kerberos")) {
        handshake(wine, linux);
        expect((SSPI.GetNegotiatedAttributes(linux.handle) & 0x1) != 0, "the server reports no delegation");
        SSPI.StartImpersonating(linux.handle);
        int hop;
        try {
          hop = SSPI.CreateContext(true, 0, "Kerberos", "HTTP/backend." + System.getenv("AD_DNS_DOMAIN"));
        } finally {
          SSPI.StopImpersonating(linux.handle);
        }
        try (Peer backend = new Mit(Map.of("KRB5_KTNAME", System.getenv("AD_BACKEND_KEYTAB")), "server", "krb5")) {
          backend.step(SSPI.GetChallengeToken(hop));
          expect(backend.peerName().equals("alice@" + System.getenv("AD_REALM")), "the back end named " + backend.peerName());
        } finally {
          SSPI.FreeHandle(hop);
        }
      }
    });
  }

  // How a message fares from one side to the other: "intact", "changed", or the status either
  // side failed with (the DLL's WinAuthException and Wine's own call alike).
  static String delivery(Peer from, Peer to, byte[] message) {
    try {
      return Arrays.equals(to.unwrap(from.wrap(message)), message) ? "intact" : "changed";
    } catch (Exception e) {
      return e.getMessage().replaceFirst("^WinAuthException: ", "");
    }
  }

  // Messages between the DLL's client under Wine and the server, beside Wine's own client over the
  // same buffers: the DLL's Wrap and Unwrap answer as Wine's EncryptMessage and DecryptMessage
  // do, whatever that is. Then Wine's package in the layout it does wrap in (the data first, then
  // a token larger than its size query asks for), against the server both ways, and an altered
  // message refused by each side.
  static void wineMessages() {
    check("Kerberos: messages between the DLL under Wine and the server, as Wine's own package gives them", () -> {
      try (LinePeer library = wine("client", "Kerberos", "alice"); Sspi server = new Sspi(false, "Kerberos");
           LinePeer platform = wine("platform-client", "Kerberos", "alice");
           Sspi platformServer = new Sspi(false, "Kerberos")) {
        handshake(library, server);
        handshake(platform, platformServer);
        byte[] message = "to the other side of Wine".getBytes(StandardCharsets.UTF_8);
        String[][] directions = {
            {"client -> server", delivery(library, server, message), delivery(platform, platformServer, message)},
            {"server -> client", delivery(server, library, message), delivery(platformServer, platform, message)},
        };
        for (String[] d : directions) {
          System.out.println("  " + d[0] + ": the DLL " + d[1] + ", Wine's own calls " + d[2]);
          expect(d[1].equals(d[2]), d[0] + ": the DLL " + d[1] + ", Wine's package " + d[2]);
        }

        byte[] wrapped = Base64.getDecoder().decode(platform.ask("wrap-data-first", message, "", "wrapped")[1]);
        System.out.println("  Wine's package, data first: " + message.length + " bytes of data and a token of "
            + (wrapped.length - message.length));
        expect(Arrays.equals(platformServer.unwrap(wrapped), message), "Wine's data-first message, unwrapped by the server");
        byte[] answer = platformServer.wrap(message);
        String n = Integer.toString(message.length);
        byte[] plain = Base64.getDecoder().decode(platform.ask("unwrap-data-first", answer, n, "plain")[1]);
        expect(Arrays.equals(plain, message), "the server's message, unwrapped by Wine's package data first");

        wrapped[wrapped.length / 2] ^= 0x20;
        expectPlatformError("8009030f", () -> platformServer.unwrap(wrapped));
        answer[answer.length / 2] ^= 0x20;
        try {
          platform.ask("unwrap-data-first", answer, n, "plain");
          throw new Exception("Wine's package took an altered message");
        } catch (PeerError e) {
          expect(e.getMessage().startsWith("Platform error: "), e.getMessage());
        }
      }
    });
  }

  static void noCredentials() {
    check("no ticket", () -> expectPlatformError("8009030e",
        () -> SSPI.CreateContext(true, FLAGS, "Kerberos", TARGET)));
    check("no keytab", () -> expectPlatformError("8009030e", () -> SSPI.CreateContext(false, 0, "Negotiate", null)));
    check("a package the system does not have", () -> expectPlatformError("80090305",
        () -> SSPI.CreateContext(false, 0, "Schannel", null)));
  }

  public static void main(String[] args) throws Exception {
    System.setProperty("java.security.krb5.conf", System.getenv("KRB5_CONFIG"));
    System.setProperty("javax.security.auth.useSubjectCredsOnly", "false");
    switch (args[0]) {
      case "peers":
        peerScript = args[1];
        peers();
        keptTicket();
        keytabChanges();
        break;
      case "identity":
        peerScript = args[1];
        identity();
        break;
      case "unprivileged":
        peerScript = args[1];
        unprivileged();
        break;
      case "names":
        peerScript = args[1];
        names();
        break;
      case "acceptors":
        peerScript = args[1];
        acceptors(Arrays.copyOfRange(args, 2, args.length));
        break;
      case "same-view":
        peerScript = args[1];
        sameView(Arrays.copyOfRange(args, 2, args.length));
        break;
      case "system-accounts":
        peerScript = args[1];
        systemAccounts(Arrays.copyOfRange(args, 2, args.length));
        break;
      case "domain":
        peerScript = args[1];
        domain();
        break;
      case "domain-probe":
        peerScript = args[1];
        domainProbe(Arrays.copyOfRange(args, 2, args.length));
        return;
      case "wine":
        wineCommand = Arrays.copyOfRange(args, 1, args.length);
        wineSignOns();
        wineMessages();
        wineDelegation();
        break;
      default:
        noCredentials();
    }
    System.out.println(failures == 0 ? "all passed" : failures + " checks failed");
    System.exit(failures == 0 ? 0 : 1);
  }
}
