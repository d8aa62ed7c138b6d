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
 */
public final class KerberosPeers {
  private static final int FLAGS = 0x81E;  // mutual, replay, sequence, confidentiality, connection
  private static final String TARGET = "HTTP/localhost";
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

  static final class Mit implements Peer {
    final Process process;
    final PrintWriter in;
    final BufferedReader out;
    boolean done;
    String name;

    Mit(Map<String, String> environment, String... arguments) throws Exception {
      String[] command = new String[arguments.length + 2];
      command[0] = "/usr/bin/python3";
      command[1] = peerScript;
      System.arraycopy(arguments, 0, command, 2, arguments.length);
      ProcessBuilder builder = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT);
      builder.environment().putAll(environment);
      process = builder.start();
      in = new PrintWriter(process.getOutputStream(), true, StandardCharsets.US_ASCII);
      out = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
    }

    private String[] ask(String verb, byte[] bytes, String answer) throws Exception {
      in.println(verb + " " + Base64.getEncoder().encodeToString(bytes));
      String line = out.readLine();
      if (line == null || !line.startsWith(answer + " ")) {
        throw new Exception("MIT peer: " + line);
      }
      return line.split(" ", -1);
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
      try {
        process.waitFor();
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
      }
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
    String[][] mechanisms = {{"Kerberos", "1.2.840.113554.1.2.2", "krb5"}, {"Negotiate", "1.3.6.1.5.5.2", "spnego"}};
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

  // A ticket cache of its own holding the principal's ticket.
  static File ticketOf(String principal) throws Exception {
    File cache = File.createTempFile("ccache-", "", new File(System.getenv("QTEST_REALM_DIR")));
    Process kinit = new ProcessBuilder("sh", "-c", "exec kinit -c \"FILE:$1\" \"$(printf \"$2\")\"", "kinit",
        cache.getPath(), principal).redirectErrorStream(true).start();
    try (PrintWriter password = new PrintWriter(kinit.getOutputStream(), true, StandardCharsets.UTF_8)) {
      password.println(System.getenv("QTEST_PASSWORD"));
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
      case "system-accounts":
        peerScript = args[1];
        systemAccounts(Arrays.copyOfRange(args, 2, args.length));
        break;
      default:
        noCredentials();
    }
    System.out.println(failures == 0 ? "all passed" : failures + " checks failed");
    System.exit(failures == 0 ? 0 : 1);
  }
}
