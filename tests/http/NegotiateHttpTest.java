import com.sun.net.httpserver.HttpContext;
import com.sun.net.httpserver.HttpServer;
import com.tarvex.pelk.quentrel.ClientContext;
import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import com.tarvex.pelk.quentrel.http.ChannelBinding;
import com.tarvex.pelk.quentrel.http.LogLines;
import com.tarvex.pelk.quentrel.http.NegotiateAuthenticator;
import com.tarvex.pelk.quentrel.http.NegotiateAuthenticator.NegotiatePrincipal;
import com.tarvex.pelk.quentrel.http.NegotiateClient;
import com.tarvex.pelk.quentrel.http.NegotiateException;
import com.tarvex.pelk.quentrel.http.Negotiator;
import com.tarvex.pelk.quentrel.http.Outcome;
import com.tarvex.pelk.quentrel.servlet.NegotiateFilter;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.time.Clock;
import java.time.Duration;
import java.time.Instant;
import java.time.ZoneId;
import java.time.ZoneOffset;
import java.util.ArrayList;
import java.util.Base64;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import java.util.logging.Handler;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import org.apache.catalina.connector.Connector;
import org.apache.catalina.startup.Tomcat;
import org.apache.tomcat.util.descriptor.web.FilterDef;
import org.apache.tomcat.util.descriptor.web.FilterMap;

/**
 * HTTP Negotiate end to end on the simulated host: the JDK server and Tomcat flavours driven by
 * HttpClient through the client helper, raw sockets for what a well-behaved client never sends,
 * sessions after one sign-on, the tool's serve command, and at the end no context left in the
 * library. Every log line of the run is checked for control characters. Prints "PASS" when every
 * check held.
 */
public final class NegotiateHttpTest {
  private static final String GROUP = "BUILTIN\\Users";
  // Asked by the servers' pages but declared to no negotiator: the same group by its name alone,
  // which every request of a session must answer alike, and a name that is no group at all.
  private static final String UNDECLARED = "Users";
  private static final String NO_GROUP = "No Such Group";
  // Log lines that carry a character a terminal would act on, and the first of them.
  private static final AtomicInteger RAW_LINES = new AtomicInteger();
  private static final AtomicReference<String> RAW_LINE = new AtomicReference<>();
  // Every line of the package's logger, formatted.
  private static final List<String> LINES = java.util.Collections.synchronizedList(new ArrayList<>());
  // Tomcat's own INFO lines would hide the test's; kept here so the setting is not collected.
  private static final Logger TOMCAT_LOG = Logger.getLogger("org.apache");
  private static String user;
  private static final boolean SHOW_LOG = System.getenv("QUENTREL_HTTP_TEST_LOG") != null;
  private static int checks;

  private NegotiateHttpTest() {}

  /** A server flavour protecting one resource that answers "user|member of GROUP|role user". */
  private interface Flavour extends AutoCloseable {
    URI uri();

    Negotiator negotiator();

    @Override
    void close();
  }

  public static void main(String[] args) throws Exception {
    Logger log = Logger.getLogger("com.tarvex.pelk.quentrel.http");
    log.addHandler(new Handler() {
      @Override
      public void publish(LogRecord record) {
        String line = new java.util.logging.SimpleFormatter().formatMessage(record);
        if (!line.equals(LogLines.escape(line, Integer.MAX_VALUE).replace("\\\\", "\\"))) {
          RAW_LINES.incrementAndGet();
          RAW_LINE.compareAndSet(null, line);
        }
        LINES.add(line);
        if (SHOW_LOG) {
          System.err.println("log: " + line);
        }
      }

      @Override
      public void flush() {}

      @Override
      public void close() {}
    });
    log.setUseParentHandlers(false);
    // Every line, debug ones too, goes through the check for control characters.
    log.setLevel(java.util.logging.Level.ALL);
    TOMCAT_LOG.setLevel(java.util.logging.Level.SEVERE);
    if (args[0].equals("--serve")) {
      serveFlavour(args[1], args[2]);
      return;
    }
    if (args[0].equals("--war")) {
      serveWar(args[1]);
      return;
    }
    if (args[0].equals("--token-client")) {
      // One request with a first token for a target of the caller's choice; its status.
      try (NegotiateClient client = NegotiateClient.start("Negotiate", args[2], 0)) {
        System.out.println(HttpClient.newHttpClient().send(HttpRequest.newBuilder(URI.create(args[1]))
            .header("Authorization", client.authorization()).build(), HttpResponse.BodyHandlers.discarding()).statusCode());
      }
      return;
    }
    if (args[0].equals("--serve-tls")) {
      serveTls(args[1], args[2], args[3], ChannelBinding.Mode.parse(args[4]));
      return;
    }
    if (args[0].equals("--serve-basic")) {
      serveBasic(args[1], args[2], args[3], args[4]);
      return;
    }
    if (args[0].equals("--jdk-client")) {
      jdkClient(args[1]);
      return;
    }
    if (args[0].equals("--helper-client")) {
      HttpResponse<String> response = NegotiateClient.send(HttpClient.newHttpClient(),
          HttpRequest.newBuilder(URI.create(args[1])).build(), HttpResponse.BodyHandlers.ofString());
      // The helper has checked the server's final token; say that it was there.
      System.out.println(response.statusCode() + " " + response.body().trim() + " (server proved itself: "
          + response.headers().firstValue("WWW-Authenticate").isPresent() + ")");
      return;
    }
    contexts();
    logText();
    for (String name : List.of("jdk", "tomcat")) {
      for (String pkg : List.of("Negotiate", "Kerberos")) {
        try (Flavour server = start(name, pkg)) {
          exchanges(name + "/" + pkg, server, pkg);
          if (pkg.equals("Negotiate")) {
            leakedScope(name, server);
            badInput(name, server);
            load(name, server);
          }
        }
      }
      crowded(name);
      sessions(name);
      cannotSignOn(name);
    }
    cookies();
    bounded();
    unprovenServer();
    serve(args[0]);
    noContextLeft();
    check("log lines with control characters (first: " + RAW_LINE.get() + ")", RAW_LINES.get(), 0);
    System.out.println("PASS " + checks + " checks");
  }

  // The objects: the token loop, names and groups, an impersonation scope, protected messages,
  // close from many threads, and the Cleaner's count of a context nobody closed.
  private static void contexts() throws Exception {
    for (String pkg : List.of("Negotiate", "Kerberos")) {
      try (ServerContext server = ServerContext.open(pkg);
          ClientContext client = ClientContext.open(pkg, "HTTP/web.example.test", ClientContext.MUTUAL_AUTH)) {
        SecurityContext.Step toServer = client.firstStep();
        SecurityContext.Step toClient;
        int legs = 1;
        while (true) {
          toClient = server.accept(toServer.token());
          if (toClient.complete()) {
            break;
          }
          toServer = client.initialize(toClient.token());
          legs += 2;
        }
        if (!client.isEstablished()) {
          client.initialize(toClient.token());
          legs++;
        }
        check(pkg + " legs", legs, pkg.equals("Negotiate") ? 3 : 2);
        check(pkg + " both established", server.isEstablished() && client.isEstablished(), true);
        check(pkg + " member", server.isMember(GROUP), true);
        user = server.clientName();
        try (ServerContext.Impersonation as = server.impersonate()) {
          check("impersonating", as.active() && server.describe().contains("Impersonating: true"), true);
        }
        check("impersonation over", server.describe().contains("Impersonating: false"), true);
        byte[] message = "hello".getBytes(StandardCharsets.UTF_8);
        check("unwrapped", new String(server.unwrap(client.wrap(message)), StandardCharsets.UTF_8), "hello");
      }
    }
    ServerContext shared = ServerContext.open(null);
    int handle = shared.handle();
    int before = SecurityContext.openCount();
    ExecutorService pool = Executors.newFixedThreadPool(8);
    List<Future<?>> closes = new ArrayList<>();
    for (int i = 0; i < 32; i++) {
      closes.add(pool.submit(shared::close));
    }
    for (Future<?> close : closes) {
      close.get();
    }
    pool.shutdown();
    check("closed once", SecurityContext.openCount(), before - 1);
    check("handle released", invalidHandle(handle), true);
    expectThrows("closed context", IllegalStateException.class, shared::clientName);
    forget();
    for (int i = 0; i < 200 && SecurityContext.cleanedCount() == 0; i++) {
      System.gc();
      Thread.sleep(10);
    }
    check("the Cleaner released a forgotten context", SecurityContext.cleanedCount(), 1L);
    // A scope lost without being closed keeps neither itself nor its context: the Cleaner
    // releases both, and the thread's leftover scope ends as the context's.
    int lost = loseScope();
    for (int i = 0; i < 200 && SecurityContext.cleanedCount() == 1; i++) {
      System.gc();
      Thread.sleep(10);
    }
    check("the Cleaner released the context of a lost scope", SecurityContext.cleanedCount(), 2L);
    check("the lost scope ended as its context's", ServerContext.Impersonation.endLeftover(), lost);
    check("no scope left after it", ServerContext.Impersonation.endLeftover(), 0);
  }

  private static int loseScope() throws Exception {
    LEAKED.set(null);
    leakScope();
    ServerContext server = LEAKED.getAndSet(null);
    return server.handle();
  }

  private static void forget() throws WinAuthException {
    ServerContext.open(null).handle();
  }

  // One exchange with the client helper, then the same through raw legs on one connection.
  private static void exchanges(String name, Flavour server, String pkg) throws Exception {
    HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
    HttpResponse<String> response = NegotiateClient.send(http, HttpRequest.newBuilder(server.uri()).build(),
        HttpResponse.BodyHandlers.ofString(), pkg, true);
    check(name + " status", response.statusCode(), 200);
    check(name + " answer", response.body(), user + "|true|true|Negotiate");
    // Mutual authentication: the one-leg package's final token comes back on the 200.
    check(name + " final token", response.headers().firstValue("WWW-Authenticate").isPresent(), pkg.equals("Kerberos"));
    check(name + " nothing waiting", server.negotiator().pendingCount(), 0);
    check(name + " a name that is no group logged", LINES.stream().anyMatch(l -> l.contains("no group is named " + NO_GROUP)), true);
  }

  // A handler that leaves an impersonation scope open (the one it leaked last, on the server's
  // thread): the flavour ends it with the request, and says so.
  private static final AtomicReference<ServerContext> LEAKED = new AtomicReference<>();

  private static String leakScope() throws Exception {
    ServerContext server = ServerContext.open("Negotiate");
    try (ClientContext client = ClientContext.open("Negotiate", "HTTP/web.example.test", 0)) {
      SecurityContext.Step toServer = client.firstStep();
      for (SecurityContext.Step toClient = server.accept(toServer.token()); !toClient.complete();
          toClient = server.accept(toServer.token())) {
        toServer = client.initialize(toClient.token());
      }
    }
    LEAKED.set(server);
    server.impersonate();  // never closed
    return "leaked";
  }

  private static void leakedScope(String name, Flavour server) throws Exception {
    HttpResponse<String> response = NegotiateClient.send(HttpClient.newHttpClient(),
        HttpRequest.newBuilder(server.uri().resolve("/leak")).build(), HttpResponse.BodyHandlers.ofString());
    check(name + " leaking handler answered", response.body(), "leaked");
    try (ServerContext leaked = LEAKED.getAndSet(null)) {
      // The JDK's handler has sent its answer before the request's end runs on its thread.
      for (int i = 0; i < 100 && leaked.describe().contains("Impersonating: true"); i++) {
        Thread.sleep(20);
      }
      check(name + " the leaked scope ended with its request", leaked.describe().contains("Impersonating: false"), true);
    }
    check(name + " the leaked scope logged", LINES.stream().anyMatch(l -> l.contains("left its thread acting as the"
        + " client") && l.contains("at the end of the request")), true);
    LINES.clear();
  }

  // Each bad request gets 400 or 401 with a log line, no stack trace, and leaves nothing waiting;
  // a multi-leg exchange does not continue on another connection.
  private static void badInput(String name, Flavour server) throws Exception {
    String huge = "Negotiate " + "A".repeat(70000);
    String garbage = "Negotiate " + Base64.getEncoder().encodeToString("no token of any package".getBytes(StandardCharsets.UTF_8));
    Object[][] cases = {
      {"wrong scheme", "Basic dXNlcjpwYXNz", 401},
      {"a scheme with C1 controls", "Ba\u0085\u009bsic x", 401},
      {"no token", "Negotiate", 400},
      {"bad base64", "Negotiate ***not*base64***", 400},
      {"oversized", huge, 400},
      {"refused token", garbage, 401},
      {"two tokens", null, 400},
    };
    for (Object[] c : cases) {
      int lines = LINES.size();
      try (Socket socket = connect(server)) {
        List<String> headers = c[1] == null ? List.of(garbage, garbage) : List.of((String) c[1]);
        Answer answer = request(socket, server.uri(), headers);
        check(name + " " + c[0] + " status", answer.status, c[2]);
        check(name + " " + c[0] + " no trace", answer.body.contains("Exception") || answer.body.contains("at com."), false);
        check(name + " " + c[0] + " logged", LINES.size() > lines, true);
      }
    }
    // Leg one on a connection, leg three on another: refused; then finished on the first.
    try (Socket first = connect(server); Socket second = connect(server);
        ClientContext client = ClientContext.open("Negotiate", "HTTP/localhost", 0)) {
      Answer challenge = request(first, server.uri(), List.of(header(client.firstStep().token())));
      check(name + " first leg", challenge.status, 401);
      check(name + " waiting", server.negotiator().pendingCount(), 1);
      SecurityContext.Step third = client.initialize(tokenOf(challenge));
      check(name + " other connection", request(second, server.uri(), List.of(header(third.token()))).status, 401);
      Answer done = request(first, server.uri(), List.of(header(third.token())));
      check(name + " same connection", done.status, 200);
      check(name + " nothing waiting after", server.negotiator().pendingCount(), 0);
    }
  }

  // A client that cannot sign on: the 401 page sends it to the site's fallback, escaped as HTML;
  // with Basic on, the same 401 offers both schemes, and a password over plain HTTP is refused
  // before it goes anywhere.
  private static void cannotSignOn(String name) throws Exception {
    Object[][] cases = {
      {"fallback", Negotiator.builder().fallback("/sign-in?next=/a&b=\"<x>\""), List.of(),
          List.of("Negotiate"), "url=/sign-in?next=/a&amp;b=&quot;&lt;x&gt;&quot;\">"},
      {"fallback", Negotiator.builder().fallback("https://login.example.test/"), List.of(),
          List.of("Negotiate"), "<a href=\"https://login.example.test/\">"},
      {"Basic", Negotiator.builder().basic(true).basicRealm("Intra \"net\""), List.of("Basic dXNlcjpwYXNz"),
          List.of("Negotiate", "Basic realm=\"Intra \\\"net\\\"\", charset=\"UTF-8\""), "sent over plain HTTP is refused"},
    };
    for (Object[] c : cases) {
      int lines = LINES.size();
      try (Flavour server = start(name, (Negotiator.Builder) c[1]); Socket socket = connect(server)) {
        @SuppressWarnings("unchecked")
        Answer answer = request(socket, server.uri(), (List<String>) c[2]);
        String what = name + " cannot sign on, " + c[0];
        check(what + " status", answer.status, 401);
        check(what + " challenges", answer.authenticate, c[3]);
        String said = c[2] == null || ((List<?>) c[2]).isEmpty() ? answer.body : String.join("\n", LINES.subList(lines, LINES.size()));
        check(what + ": " + c[4], said.contains((String) c[4]), true);
      }
    }
  }

  // Many clients at once, each on its own HttpClient (a multi-leg exchange needs its connection),
  // with every tenth exchange abandoned after its first leg; the time limit releases those.
  private static void load(String name, Flavour server) throws Exception {
    int threads = 8;
    int perThread = 125;
    long start = System.nanoTime();
    ExecutorService pool = Executors.newFixedThreadPool(threads);
    List<Future<Integer>> results = new ArrayList<>();
    for (int t = 0; t < threads; t++) {
      results.add(pool.submit(() -> {
        HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
        int ok = 0;
        for (int i = 0; i < perThread; i++) {
          if (i % 10 == 9) {
            try (Socket socket = connect(server); ClientContext client = ClientContext.open("Negotiate", null, 0)) {
              if (request(socket, server.uri(), List.of(header(client.firstStep().token()))).status == 401) {
                ok++;
              }
            }
            continue;
          }
          HttpResponse<String> response = NegotiateClient.send(http, HttpRequest.newBuilder(server.uri()).build(),
              HttpResponse.BodyHandlers.ofString());
          ok += response.statusCode() == 200 ? 1 : 0;
        }
        return ok;
      }));
    }
    int ok = 0;
    try {
      for (Future<Integer> result : results) {
        ok += result.get(120, TimeUnit.SECONDS);
      }
    } finally {
      pool.shutdownNow();  // a failed client must fail the run, not keep the JVM alive
    }
    System.out.printf("%s: %d exchanges from %d threads in %d ms%n", name, threads * perThread, threads,
        TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start));
    check(name + " exchanges answered", ok, threads * perThread);
    // A server thread may still be closing its context after its client has the answer, and the
    // time limit releases the abandoned ones: both are given a while on a loaded machine.
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(45);
    while ((server.negotiator().pendingCount() > 0 || SecurityContext.openCount() > 0) && System.nanoTime() < deadline) {
      Thread.sleep(20);
    }
    check(name + " abandoned exchanges released", server.negotiator().pendingCount(), 0);
    check(name + " no open context", SecurityContext.openCount(), 0);
  }

  // The one escaping function for client text in log lines: each row's text as a line shows it,
  // which reads back as the text itself when nothing was cut; then the rate limit of one kind of
  // line, on a clock of the test's, and a negotiator's lines under it.
  private static void logText() throws Exception {
    String[][] texts = {
      {"GET", "GET"},
      {"GE\u001b[31mT", "GE\\x1b[31mT"},
      {"GET\rFAKE", "GET\\rFAKE"},
      {"alice\n2031-01-01T00:00:00 INFO forged", "alice\\n2031-01-01T00:00:00 INFO forged"},
      {"QTEST\\alice\tx", "QTEST\\alice\\tx"},
      {"C:\\new\\x \\\\ end\\", "C:\\\\new\\\\x \\\\\\ end\\"},
      {"a\\\nb", "a\\\\\\nb"},
      {"nel\u0085 csi\u009b del\u007f nul\u0000", "nel\\x85 csi\\x9b del\\x7f nul\\x00"},
      {"ls\u2028ps\u2029", "ls\\u2028ps\\u2029"},
      {"evil\u202egnp.exe \u2066x\u2069 \u200bzw \ufeff", "evil\\u202egnp.exe \\u2066x\\u2069 \\u200bzw \\ufeff"},
      {"lone \ud800 high, lone \udc00 low", "lone \\ud800 high, lone \\udc00 low"},
      {"Jos\u00e9 \u4e2d \ud83d\ude00 \u00a0", "Jos\u00e9 \u4e2d \ud83d\ude00 \u00a0"},
      {null, "null"},
      {"x".repeat(250), "x".repeat(200) + "...(50 more)"},
      {"x".repeat(199) + "\ud83d\ude00", "x".repeat(199) + "...(2 more)"},
    };
    for (String[] row : texts) {
      String shown = LogLines.escape(row[0]);
      check("escaped " + shown, shown, row[1]);
      if (row[0] != null && !shown.endsWith(" more)")) {
        check("reads back " + shown, unescape(shown), row[0]);
      }
    }

    java.util.logging.Logger sink = java.util.logging.Logger.getLogger("quentrel.test.lines");
    List<String> written = new ArrayList<>();
    sink.setUseParentHandlers(false);
    sink.addHandler(new Handler() {
      @Override
      public void publish(LogRecord record) {
        written.add(new java.util.logging.SimpleFormatter().formatMessage(record));
      }

      @Override
      public void flush() {}

      @Override
      public void close() {}
    });
    AtomicLong nanos = new AtomicLong();
    LogLines lines = new LogLines(System.getLogger("quentrel.test.lines"), 3, nanos::get);
    Object[][] steps = {
      // seconds later, lines of kind "a" tried, lines of "a" written, lines written in all
      {0, 10, 3, 3},
      {0, 1, 0, 0},
      {20, 2, 1, 2},  // one line's worth of time: the count of the 8 left out, then the line
      {3600, 5, 3, 4},  // an idle hour fills the bucket to 3, no more; first the count of 1 left out
    };
    for (Object[] step : steps) {
      nanos.addAndGet(TimeUnit.SECONDS.toNanos((Integer) step[0]));
      written.clear();
      int shown = 0;
      for (int i = 0; i < (Integer) step[1]; i++) {
        shown += lines.log("a", System.Logger.Level.INFO, "line {0} of {1}", i, "a\nb") ? 1 : 0;
      }
      check("lines of a written after " + step[0] + " s", shown, step[2]);
      check("lines in all after " + step[0] + " s", written.size(), step[3]);
    }
    check("the count of the lines left out", written.get(0), "1 line of the kind \"a\" was left out (more than 3 a minute)");
    check("the line after it, its text escaped", written.get(1), "line 0 of a\\nb");
    check("another kind has its own share", lines.log("b", System.Logger.Level.INFO, "other"), true);

    try (Negotiator negotiator = Negotiator.builder().logLinesPerMinute(2).build()) {
      int before = LINES.size();
      for (int i = 0; i < 5; i++) {
        check("bad request " + i, negotiator.authenticate("c" + i, "192.0.2.1", List.of("Negotiate")).status(), 400);
      }
      check("an unknown scheme", negotiator.authenticate("c", "192.0.2.1", List.of("Ba\u001b[2Jsic\u0085 x")).status(), 401);
      List<String> logged = new ArrayList<>(LINES.subList(before, LINES.size()));
      check("bad requests logged, of 5", logged.stream().filter(l -> l.contains("bad request")).count(), 2L);
      check("the scheme shown escaped", logged.get(logged.size() - 1).contains("the scheme Ba\\x1b[2Jsic\\x85 is not"), true);
    }
  }

  // The inverse of the escaping, for the check that nothing is lost or made ambiguous.
  private static String unescape(String shown) {
    StringBuilder out = new StringBuilder();
    for (int i = 0; i < shown.length(); i++) {
      char c = shown.charAt(i);
      if (c != '\\') {
        out.append(c);
        continue;
      }
      if (i + 1 == shown.length()) {
        out.append(c);
        break;
      }
      char kind = shown.charAt(++i);
      switch (kind) {
        case '\\': out.append('\\'); break;
        case 'n': out.append('\n'); break;
        case 'r': out.append('\r'); break;
        case 't': out.append('\t'); break;
        case 'x': out.append((char) Integer.parseInt(shown.substring(i + 1, i + 3), 16)); i += 2; break;
        case 'u': out.append((char) Integer.parseInt(shown.substring(i + 1, i + 5), 16)); i += 4; break;
        default: out.append(c).append(kind);
      }
    }
    return out.toString();
  }

  // One client address with more first legs than its bound keeps only its own newest; another
  // address still gets its exchange through, and a full table answers 503 with a Retry-After.
  private static void crowded(String name) throws Exception {
    try (Flavour server = start(name, Negotiator.builder().maxPending(33))) {
      int port = server.uri().getPort();
      for (int i = 0; i < 40; i++) {
        try (Socket socket = connect(port, "127.0.0.1"); ClientContext client = ClientContext.open("Negotiate", null, 0)) {
          check(name + " flood leg " + i, request(socket, server.uri(), List.of(header(client.firstStep().token()))).status, 401);
        }
      }
      check(name + " the flood keeps its own bound", server.negotiator().pendingCount(), 32);
      try (Socket socket = connect(port, "127.0.0.2"); Socket late = connect(port, "127.0.0.3");
          ClientContext client = ClientContext.open("Negotiate", null, 0);
          ClientContext other = ClientContext.open("Negotiate", null, 0)) {
        Answer challenge = request(socket, server.uri(), List.of(header(client.firstStep().token())));
        check(name + " another address waits", challenge.status, 401);
        Answer full = request(late, server.uri(), List.of(header(other.firstStep().token())));
        check(name + " a full table", full.status + " " + (full.retryAfter != null), "503 true");
        byte[] third = client.initialize(tokenOf(challenge)).token();
        check(name + " another address signs on", request(socket, server.uri(), List.of(header(third))).status, 200);
      }
    }
  }

  // One sign-on serves the session in both flavours: a page of requests after it makes no call
  // into the library; idleness and logging out end it; signing on again gives a new session.
  // With sessions off, every request negotiates. Basic, which browsers repeat on every request,
  // goes on in the session too.
  private static void sessions(String name) throws Exception {
    TestClock clock = new TestClock();
    HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
    Negotiator.Builder settings = Negotiator.builder().clock(clock).basic(true).basicOverPlainHttp(true);
    try (Flavour server = start(name, settings)) {
      Object[][] steps = {
        // what, signs on, cookie sent (of the sign-on so numbered; 0 for none), minutes, path, status
        {"sign-on", true, 0, 0, "/", 200},
        {"a page after it", false, 1, 0, "/", 200},
        {"Basic in the session", false, 1, 0, "/", 200},
        {"idle 16 minutes", false, 1, 16, "/", 401},
        {"signs on again", true, 1, 16, "/", 200},
        {"the new session", false, 2, 17, "/", 200},
        {"logging out", false, 2, 17, "/logout", 200},
        {"after logging out", false, 2, 17, "/", 401},
      };
      List<String> cookies = new ArrayList<>();
      for (Object[] step : steps) {
        String what = name + " session, " + step[0];
        clock.minutes((Integer) step[3]);
        HttpRequest.Builder request = HttpRequest.newBuilder(server.uri().resolve((String) step[4]));
        int sent = (Integer) step[2];
        if (sent > 0) {
          request.header("Cookie", cookies.get(sent - 1));
        }
        if (step[0].equals("Basic in the session")) {
          request.header("Authorization", "Basic " + Base64.getEncoder().encodeToString("alice:wrong".getBytes()));
        }
        int page = step[0].equals("a page after it") ? 20 : 1;
        int first = nextHandle();
        HttpResponse<String> response = null;
        for (int i = 0; i < page; i++) {
          response = (Boolean) step[1] ? NegotiateClient.send(http, request.build(), HttpResponse.BodyHandlers.ofString())
              : http.send(request.build(), HttpResponse.BodyHandlers.ofString());
          check(what + " status", response.statusCode(), step[5]);
        }
        if (!(Boolean) step[1]) {
          check(what + ": contexts made", nextHandle() - first - 1, 0);
        }
        if (response.statusCode() == 200) {
          check(what + " answer", response.body(), user + "|true|true|Negotiate");
        } else {
          check(what + " asks for Negotiate and Basic", response.headers().allValues("WWW-Authenticate"),
              List.of("Negotiate", server.negotiator().basicChallenge()));
        }
        if ((Boolean) step[1]) {
          String cookie = sessionCookie(response.headers().allValues("Set-Cookie"));
          check(what + " sets a new session", cookie != null && !cookies.contains(cookie), true);
          cookies.add(cookie);
        }
      }
    }
    try (Flavour server = start(name, Negotiator.builder().sessions(false))) {
      HttpResponse<String> first = NegotiateClient.send(http, HttpRequest.newBuilder(server.uri()).build(),
          HttpResponse.BodyHandlers.ofString());
      check(name + " sessions off: signed on", first.statusCode(), 200);
      check(name + " sessions off: no session", sessionCookie(first.headers().allValues("Set-Cookie")), "none");
      check(name + " sessions off: the next request negotiates",
          http.send(HttpRequest.newBuilder(server.uri()).build(), HttpResponse.BodyHandlers.ofString()).statusCode(), 401);
    }
  }

  // The session cookie of the JDK server's flavour against what else a client may send: one
  // node's cookie on another that shares its key and on one that does not, forged, altered and
  // cut cookies, logging out, an address-bound session from another address, idleness, the
  // refresh that carries a session on, and its lifetime. None of it makes a context.
  private static void cookies() throws Exception {
    TestClock clock = new TestClock();
    byte[] key = new byte[32];
    new java.util.Random(7).nextBytes(key);
    java.util.function.Supplier<Negotiator.Builder> settings = () -> Negotiator.builder().clock(clock)
        .sessionLifetime(Duration.ofMinutes(10)).sessionIdle(Duration.ofMinutes(4));
    try (Flavour one = start("jdk", settings.get().sessionKey(key)); Flavour two = start("jdk", settings.get().sessionKey(key));
        Flavour own = start("jdk", settings.get().sessionBoundToAddress(true))) {
      Map<String, String> jar = new HashMap<>();
      HttpClient http = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();
      for (Object[] signOn : new Object[][] {{"first", one}, {"second", one}, {"bound", own}}) {
        HttpResponse<String> response = NegotiateClient.send(http, HttpRequest.newBuilder(((Flavour) signOn[1]).uri()).build(),
            HttpResponse.BodyHandlers.ofString());
        List<String> set = response.headers().allValues("Set-Cookie");
        check("cookie attributes", set.size() == 1 && set.get(0).endsWith("; Path=/; HttpOnly; SameSite=Lax"), true);
        jar.put((String) signOn[0], set.get(0).substring("quentrel-session=".length(), set.get(0).indexOf(';')));
      }
      String first = jar.get("first");
      // Sealed: nothing of the sign-on shows, not even in part.
      String opened = new String(Base64.getUrlDecoder().decode(first), StandardCharsets.ISO_8859_1);
      String shortName = user.substring(user.indexOf('\\') + 1);
      check("the cookie hides its client", opened.contains(shortName) || opened.contains(GROUP), false);
      byte[] random = Base64.getUrlDecoder().decode(first);
      new java.util.Random(11).nextBytes(random);
      random[0] = Base64.getUrlDecoder().decode(first)[0];  // the version kept: only the seal refuses it
      Base64.Encoder b64 = Base64.getUrlEncoder().withoutPadding();
      char flipped = first.charAt(30) == 'A' ? 'B' : 'A';
      jar.put("forged", b64.encodeToString(random));
      jar.put("altered", first.substring(0, 30) + flipped + first.substring(31));
      jar.put("cut", first.substring(0, first.length() - 3));
      jar.put("oversized", "A".repeat(5000));
      Object[][] rows = {
        // what, server, cookie, minutes, client address, path, status
        {"the cookie", one, "first", 0, "127.0.0.1", "/", 200},
        {"on a node with the key", two, "first", 0, "127.0.0.1", "/", 200},
        {"on a node with a key of its own", own, "first", 0, "127.0.0.1", "/", 401},
        {"forged", one, "forged", 0, "127.0.0.1", "/", 401},
        {"altered", one, "altered", 0, "127.0.0.1", "/", 401},
        {"cut", one, "cut", 0, "127.0.0.1", "/", 401},
        {"from another path of the server", one, "first", 0, "127.0.0.1", "/other/", 401},
        {"oversized", one, "oversized", 0, "127.0.0.1", "/", 401},
        {"not one of ours", one, "a.b", 0, "127.0.0.1", "/", 401},
        {"empty", one, "", 0, "127.0.0.1", "/", 401},
        {"logging out", one, "second", 0, "127.0.0.1", "/logout", 200},
        {"after logging out", one, "second", 0, "127.0.0.1", "/", 401},
        {"logged out on a node that shares the key", two, "second", 0, "127.0.0.1", "/", 200},
        {"bound, from its address", own, "bound", 0, "127.0.0.1", "/", 200},
        {"bound, from another address", own, "bound", 0, "127.0.0.2", "/", 401},
        {"bound, back at its address", own, "bound", 0, "127.0.0.1", "/", 401},
        {"in use after 3 minutes", one, "first", 3, "127.0.0.1", "/", 200},
        {"idle 5 minutes", one, "first", 5, "127.0.0.1", "/", 401},
        {"refreshed, idle 3 minutes", one, "latest", 6, "127.0.0.1", "/", 200},
        {"refreshed again", one, "latest", 9, "127.0.0.1", "/", 200},
        {"at the end of its lifetime", one, "latest", 10, "127.0.0.1", "/", 401},
      };
      int handles = nextHandle();
      for (Object[] row : rows) {
        String what = "cookie " + row[0];
        Flavour server = (Flavour) row[1];
        clock.minutes((Integer) row[3]);
        String cookie = jar.getOrDefault((String) row[2], (String) row[2]);
        try (Socket socket = connect(server.uri().getPort(), (String) row[4])) {
          Answer answer = request(socket, server.uri(), "GET", (String) row[5], List.of("Cookie: quentrel-session=" + cookie));
          check(what + " status", answer.status, row[6]);
          if (answer.status == 200) {
            check(what + " answer", answer.body, user + "|true|true|Negotiate");
          } else {
            check(what + " falls back to Negotiate", answer.authenticate, List.of("Negotiate"));
          }
          boolean cleared = answer.setCookie.size() == 1 && answer.setCookie.get(0).startsWith("quentrel-session=;")
              && answer.setCookie.get(0).contains("Max-Age=0");
          check(what + " cleared", cleared, answer.status == 401 || row[5].equals("/logout"));
          if (answer.status == 200 && !answer.setCookie.isEmpty() && !cleared) {
            jar.put("latest", answer.setCookie.get(0).substring(17, answer.setCookie.get(0).indexOf(';')));
          }
        }
      }
      check("contexts made for the cookies", nextHandle() - handles - 1, 0);
      // Signed on under /app, logged out at /logout (whose requests never carry the /app cookie):
      // the logout clears the cookie at the path it was set with too.
      HttpResponse<String> app = NegotiateClient.send(http, HttpRequest.newBuilder(one.uri().resolve("/app/")).build(),
          HttpResponse.BodyHandlers.ofString());
      check("a cookie set at its context's path", app.headers().firstValue("Set-Cookie").orElse("").contains("; Path=/app;"),
          true);
      HttpResponse<String> out = NegotiateClient.send(http, HttpRequest.newBuilder(one.uri().resolve("/logout")).build(),
          HttpResponse.BodyHandlers.ofString());
      check("logout clears the cookie where it was set", out.headers().allValues("Set-Cookie").stream().anyMatch(c ->
          c.startsWith("quentrel-session=;") && c.contains("Path=/app;") && c.contains("Max-Age=0")), true);
    }
  }

  // The session a response sets: the JDK flavour's cookie or the container's; "none" for none.
  private static String sessionCookie(List<String> setCookie) {
    for (String header : setCookie) {
      if (header.startsWith("quentrel-session=") || header.startsWith("JSESSIONID=")) {
        return header.substring(0, header.indexOf(';'));
      }
    }
    return "none";
  }

  // The handle of a context made and released at once: the next handle the library gives.
  private static int nextHandle() throws WinAuthException {
    try (ServerContext probe = ServerContext.open(null)) {
      return probe.handle();
    }
  }

  // A clock the test moves: minutes(n) sets it n minutes after the clock was made.
  private static final class TestClock extends Clock {
    private final long start = System.currentTimeMillis();
    private final AtomicLong now = new AtomicLong(start);

    void minutes(int n) {
      now.set(start + TimeUnit.MINUTES.toMillis(n));
    }

    @Override
    public ZoneId getZone() {
      return ZoneOffset.UTC;
    }

    @Override
    public Clock withZone(ZoneId zone) {
      return this;
    }

    @Override
    public long millis() {
      return now.get();
    }

    @Override
    public Instant instant() {
      return Instant.ofEpochMilli(millis());
    }
  }

  // Half-finished exchanges, each a first leg that makes the server wait for a second: a client
  // at its own bound loses its own oldest, an IPv6 client counts by its /64, and a full table
  // refuses with 503 and a Retry-After instead of pushing anyone out. Then the exchanges still
  // waiting finish, and the ones pushed out start over and fail.
  private static void bounded() throws Exception {
    int before = SecurityContext.openCount();
    Object[][] legs = {
      // connection, client address, status, exchanges waiting after
      {"a1", "192.0.2.1", 401, 1},
      {"a2", "192.0.2.1", 401, 2},
      {"a3", "192.0.2.1", 401, 2},  // a1 goes
      {"b1", "2001:db8::1", 401, 3},
      {"b2", "2001:db8::2", 401, 4},  // the same /64 as b1
      {"c1", "2001:db8:0:1::1", 503, 4},  // another network, and the table is full
      {"a4", "192.0.2.1", 401, 4},  // a2 goes
      {"d1", "::ffff:192.0.2.1", 401, 4},  // 192.0.2.1 again: a3 goes
      {"b3", "2001:db8::3", 401, 4},  // b1 goes
    };
    Map<String, ClientContext> clients = new HashMap<>();
    Map<String, byte[]> challenges = new HashMap<>();
    Map<String, String> peers = new HashMap<>();
    try (Negotiator negotiator = Negotiator.builder().maxPending(4).maxPendingPerPeer(2).build()) {
      for (Object[] leg : legs) {
        ClientContext client = ClientContext.open("Negotiate", null, 0);
        clients.put((String) leg[0], client);
        peers.put((String) leg[0], (String) leg[1]);
        try (Outcome outcome = negotiator.authenticate(leg[0], (String) leg[1], List.of(header(client.firstStep().token())))) {
          check("first leg on " + leg[0] + " from " + leg[1], outcome.status(), leg[2]);
          check("waiting after " + leg[0], negotiator.pendingCount(), leg[3]);
          if (outcome.status() == 503) {
            int retry = Integer.parseInt(outcome.retryAfter());
            check("retry after 1..30 s", retry >= 1 && retry <= 30, true);
          } else {
            challenges.put((String) leg[0], Base64.getDecoder().decode(outcome.wwwAuthenticate().substring(10)));
          }
        }
      }
      check("server contexts kept", SecurityContext.openCount() - clients.size(), before + 4);
      for (String connection : List.of("a4", "d1", "b2", "b3", "a1", "b1")) {
        boolean waiting = !connection.equals("a1") && !connection.equals("b1");
        byte[] third = clients.get(connection).initialize(challenges.get(connection)).token();
        try (Outcome outcome = negotiator.authenticate(connection, peers.get(connection), List.of(header(third)))) {
          check("third leg on " + connection, outcome.status(), waiting ? 200 : 401);
        }
      }
      check("nothing waiting at the end", negotiator.pendingCount(), 0);
    } finally {
      clients.values().forEach(ClientContext::close);
    }
    check("contexts released", SecurityContext.openCount(), before);
  }

  // A server that answers 200 without proving itself fails a client that asked for mutual
  // authentication; a 401 of another scheme, one whose name merely begins with Negotiate among
  // them, is the client's answer, not a challenge to go on with.
  private static void unprovenServer() throws Exception {
    String[][] answers = {{"200", null}, {"401", "NegotiateX YWJj"}, {"401", "Basic realm=\"x\""}};
    for (String[] row : answers) {
      HttpServer plain = HttpServer.create(new InetSocketAddress("127.0.0.1", 0), 0);
      plain.createContext("/", exchange -> {
        if (row[1] != null) {
          exchange.getResponseHeaders().add("WWW-Authenticate", row[1]);
        }
        exchange.sendResponseHeaders(Integer.parseInt(row[0]), -1);
        exchange.close();
      });
      plain.start();
      try {
        URI uri = URI.create("http://127.0.0.1:" + plain.getAddress().getPort() + "/");
        Callable<HttpResponse<String>> send = () -> NegotiateClient.send(HttpClient.newHttpClient(),
            HttpRequest.newBuilder(uri).build(), HttpResponse.BodyHandlers.ofString(), "Kerberos", true);
        if (row[1] == null) {
          expectThrows("unproven server", NegotiateException.class, send::call);
        } else {
          check("a 401 of " + row[1] + " comes back", send.call().statusCode(), 401);
        }
      } finally {
        plain.stop(0);
      }
    }
  }

  // 300 clients that send half a request and wait hold their own threads, not the server's: a
  // client that signs on meanwhile is answered before the server's request limit would have freed
  // a thread held by one of them.
  private static void slowClients(int port) throws Exception {
    List<Socket> slow = new ArrayList<>();
    try {
      for (int i = 0; i < 300; i++) {
        Socket socket = connect(port, "127.0.0.1");
        socket.getOutputStream().write("GET / HTTP/1.1\r\nHost: localhost\r\n".getBytes(StandardCharsets.US_ASCII));
        slow.add(socket);
      }
      Thread.sleep(500);  // every one of them taken in by the server
      Duration bound = Duration.ofSeconds(8);  // serve gives a request 10 seconds
      HttpClient http = HttpClient.newBuilder().connectTimeout(bound).build();
      long started = System.nanoTime();
      HttpResponse<String> answered = NegotiateClient.send(http, HttpRequest.newBuilder(URI.create("http://127.0.0.1:"
          + port + "/")).timeout(bound).build(), HttpResponse.BodyHandlers.ofString());
      long millis = (System.nanoTime() - started) / 1_000_000;
      check("serve answers beside 300 slow clients", answered.statusCode(), 200);
      check("serve answered before a slow client's thread was freed (" + millis + " ms)", millis < bound.toMillis(), true);
    } finally {
      for (Socket socket : slow) {
        socket.close();
      }
    }
  }

  // The tool's server, in a process of its own on the same library as this one: who the client
  // is, then a clean stop on SIGINT.
  private static void serve(String jar) throws Exception {
    Process serve = new ProcessBuilder(new File(System.getProperty("java.home"), "bin/java").getPath(), "-Xcheck:jni",
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-jar", jar, "serve", "--port", "0",
        "--bind", "127.0.0.1", "--group", GROUP).redirectErrorStream(true).start();
    try {
      BufferedReader out = new BufferedReader(new InputStreamReader(serve.getInputStream(), StandardCharsets.UTF_8));
      String first = out.readLine();
      check("serve listening", first != null && first.contains("listening on port "), true);
      String port = first.replaceAll(".*listening on port (\\d+).*", "$1");
      HttpResponse<String> response = NegotiateClient.send(HttpClient.newHttpClient(),
          HttpRequest.newBuilder(URI.create("http://localhost:" + port + "/")).build(), HttpResponse.BodyHandlers.ofString());
      check("serve status", response.statusCode(), 200);
      String body = response.body();
      check("serve name", body.contains("\"name\":\"" + user + "\""), true);
      check("serve sid", body.matches("(?s).*\"sid\":\"S-1-5-21-[0-9-]+\".*"), true);
      check("serve group", body.contains("\"groups\":{\"BUILTIN\\\\Users\":true}"), true);
      check("serve bound to the address given", first.contains("http://127.0.0.1:"), true);
      slowClients(Integer.parseInt(port));
      // A method that would colour the terminal and break the line in a viewer that takes NEL.
      try (Socket socket = connect(Integer.parseInt(port), "127.0.0.1")) {
        Answer hostile = request(socket, URI.create("http://localhost:" + port + "/"), "GE\u001b[31mT\u0085", "/", List.of());
        check("serve hostile method", hostile.status, 401);
      }
      // Ctrl-C; a process that inherited an ignored SIGINT (started in the background by a
      // script) is stopped the other usual way, which runs the same clean stop.
      String status = java.nio.file.Files.readString(java.nio.file.Path.of("/proc/" + serve.pid() + "/status"));
      long ignored = Long.parseLong(status.replaceAll("(?s).*SigIgn:\\s*([0-9a-f]+).*", "$1"), 16);
      String signal = (ignored & 2) != 0 ? "-TERM" : "-INT";
      new ProcessBuilder("kill", signal, Long.toString(serve.pid())).start().waitFor();
      check("serve stops", serve.waitFor(20, TimeUnit.SECONDS), true);
      StringBuilder rest = new StringBuilder();
      for (String line = out.readLine(); line != null; line = out.readLine()) {
        rest.append(line).append('\n');
      }
      check("serve logged the requests", rest.toString().contains(" GET / 401 -\n") && rest.toString().contains(" GET / 200 "), true);
      check("serve escaped the method", rest.toString().contains(" GE\\x1b[31mT\\x85 / 401 -\n"), true);
      check("serve wrote no control character", rest.toString().matches("(?s)[^\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f]*"), true);
      check("serve stopped cleanly", rest.toString().contains("quentrel serve: stopped") && !rest.toString().contains("WARNING"), true);
    } finally {
      serve.destroyForcibly();
    }
  }

  // Every handle this process was ever given names nothing now: the library's own table is empty.
  private static void noContextLeft() throws Exception {
    check("open contexts at the end", SecurityContext.openCount(), 0);
    int last;
    try (ServerContext probe = ServerContext.open(null)) {
      last = probe.handle();
    }
    int live = 0;
    for (int handle = 2; handle <= last; handle++) {
      live += invalidHandle(handle) ? 0 : 1;
    }
    check("live contexts in the library after " + (last - 1) + " handles", live, 0);
    check("contexts left to the Cleaner", SecurityContext.cleanedCount(), 2L);
  }

  private static boolean invalidHandle(int handle) {
    try {
      SSPI.GetContextInformation(handle);
      return false;
    } catch (WinAuthException e) {
      return "Invalid handle".equals(e.getMessage());
    }
  }

  // ---- for the tests with real clients: a flavour on its own, and the JDK's own SPNEGO --------

  // Serves until the process is stopped, after a line that names the port.
  private static void serveFlavour(String name, String pkg) throws Exception {
    // Real clients on a loaded machine may take longer than the suite's short limit between legs.
    Flavour server = start(name, Negotiator.builder().packageName(pkg), Duration.ofSeconds(60));
    System.out.println(name + " flavour listening on port " + server.uri().getPort());
    System.out.flush();
    Runtime.getRuntime().addShutdownHook(new Thread(server::close));
    Thread.sleep(Long.MAX_VALUE);
  }

  // An exploded WAR deployed as a container deploys it: its web.xml read, its classes loaded by
  // the application's own class loader.
  private static void serveWar(String folder) throws Exception {
    Tomcat tomcat = new Tomcat();
    tomcat.setBaseDir(java.nio.file.Files.createTempDirectory("tomcat").toString());
    tomcat.setPort(0);
    tomcat.getConnector();
    tomcat.addWebapp("", new File(folder).getAbsolutePath());
    tomcat.start();
    System.out.println("war listening on port " + tomcat.getConnector().getLocalPort());
    System.out.flush();
    tomcat.getServer().await();
  }

  // Serves over TLS with the PKCS#12 key store's certificate, checking channel bindings as `mode`
  // says, until the process is stopped, after a line that names the port.
  private static void serveTls(String name, String keyStore, String password, ChannelBinding.Mode mode)
      throws Exception {
    Negotiator negotiator = Negotiator.builder().packageName("Negotiate").channelBinding(mode).groups(GROUP)
        .timeout(Duration.ofSeconds(60)).build();
    java.security.KeyStore keys = java.security.KeyStore.getInstance("PKCS12");
    try (InputStream in = java.nio.file.Files.newInputStream(java.nio.file.Path.of(keyStore))) {
      keys.load(in, password.toCharArray());
    }
    Flavour server = name.equals("jdk") ? jdkServer(negotiator, keys, password)
        : tomcat(negotiator, keyStore, password, keys.getCertificate(keys.aliases().nextElement()));
    System.out.println(name + " flavour over TLS, channel binding " + mode + ", listening on port "
        + server.uri().getPort());
    System.out.flush();
    Runtime.getRuntime().addShutdownHook(new Thread(server::close));
    Thread.sleep(Long.MAX_VALUE);
  }

  // Serves with HTTP Basic on, over TLS ("tls"), or over plain HTTP where it is refused ("plain")
  // or allowed ("plain-allowed"), until the process is stopped, after a line that names the port.
  private static void serveBasic(String name, String keyStore, String password, String where) throws Exception {
    Negotiator negotiator = Negotiator.builder().packageName("Negotiate").groups(GROUP).basic(true)
        .basicOverPlainHttp(where.equals("plain-allowed")).build();
    Flavour server;
    if (where.equals("tls")) {
      java.security.KeyStore keys = java.security.KeyStore.getInstance("PKCS12");
      try (InputStream in = java.nio.file.Files.newInputStream(java.nio.file.Path.of(keyStore))) {
        keys.load(in, password.toCharArray());
      }
      server = name.equals("jdk") ? jdkServer(negotiator, keys, password)
          : tomcat(negotiator, keyStore, password, keys.getCertificate(keys.aliases().nextElement()));
    } else {
      server = name.equals("jdk") ? jdkServer(negotiator) : tomcat(negotiator);
    }
    System.out.println(name + " flavour with Basic over " + where + ", listening on port " + server.uri().getPort());
    System.out.flush();
    Runtime.getRuntime().addShutdownHook(new Thread(server::close));
    Thread.sleep(Long.MAX_VALUE);
  }

  // HttpURLConnection answers a Negotiate challenge by itself, through the JDK's Kerberos (JGSS),
  // with the ticket cache that KRB5CCNAME names.
  private static void jdkClient(String url) throws Exception {
    java.net.HttpURLConnection connection = (java.net.HttpURLConnection) URI.create(url).toURL().openConnection();
    int status = connection.getResponseCode();
    InputStream body = status < 400 ? connection.getInputStream() : connection.getErrorStream();
    System.out.println(status + " " + (body == null ? "" : new String(body.readAllBytes(), StandardCharsets.UTF_8)));
  }

  // ---- the two flavours ----------------------------------------------------------------------

  private static Flavour start(String name, String pkg) throws Exception {
    return start(name, Negotiator.builder().packageName(pkg));
  }

  // A flavour of the settings given, answering GROUP, with a short time limit unless given one:
  // short enough that the abandoned exchanges of the load run are released while it waits, long
  // enough that a busy machine finishes a live exchange's legs within it.
  private static Flavour start(String name, Negotiator.Builder settings) throws Exception {
    return start(name, settings, Duration.ofSeconds(8));
  }

  private static Flavour start(String name, Negotiator.Builder settings, Duration limit) throws Exception {
    Negotiator negotiator = settings.groups(GROUP).timeout(limit).build();
    return name.equals("jdk") ? jdkServer(negotiator) : tomcat(negotiator);
  }

  private static Flavour jdkServer(Negotiator negotiator) throws IOException {
    return jdkServer(negotiator, null, null);
  }

  // Over TLS with the key store's key when one is given.
  private static Flavour jdkServer(Negotiator negotiator, java.security.KeyStore keys, String password)
      throws IOException {
    HttpServer server;
    if (keys == null) {
      server = HttpServer.create(new InetSocketAddress("127.0.0.1", 0), 0);
    } else {
      com.sun.net.httpserver.HttpsServer tls = com.sun.net.httpserver.HttpsServer.create(
          new InetSocketAddress("127.0.0.1", 0), 0);
      try {
        javax.net.ssl.KeyManagerFactory managers = javax.net.ssl.KeyManagerFactory.getInstance("PKIX");
        managers.init(keys, password.toCharArray());
        javax.net.ssl.SSLContext context = javax.net.ssl.SSLContext.getInstance("TLS");
        context.init(managers.getKeyManagers(), null, null);
        tls.setHttpsConfigurator(new com.sun.net.httpserver.HttpsConfigurator(context));
      } catch (java.security.GeneralSecurityException e) {
        throw new IOException(e);
      }
      server = tls;
    }
    server.setExecutor(Executors.newFixedThreadPool(8));
    NegotiateAuthenticator authenticator = new NegotiateAuthenticator(negotiator);
    com.sun.net.httpserver.HttpHandler who = exchange -> {
      if (exchange.getRequestURI().getPath().equals("/leak")) {
        byte[] body;
        try {
          body = leakScope().getBytes(StandardCharsets.UTF_8);
        } catch (Exception e) {
          throw new IOException(e);
        }
        exchange.sendResponseHeaders(200, body.length);
        exchange.getResponseBody().write(body);
        exchange.close();
        return;
      }
      if (exchange.getRequestURI().getPath().equals("/logout")) {
        authenticator.logout(exchange);
      }
      NegotiatePrincipal user = (NegotiatePrincipal) exchange.getPrincipal();
      byte[] body = (user.getUsername() + "|" + user.isMember(GROUP) + "|" + (user.getRealm().equals(negotiator.packageName())
          && user.isMember(UNDECLARED) && !user.isMember(NO_GROUP)) + "|" + user.user().scheme())
          .getBytes(StandardCharsets.UTF_8);
      exchange.sendResponseHeaders(200, body.length);
      exchange.getResponseBody().write(body);
      exchange.close();
    };
    // "/app": a context of its own path, whose cookies a logout elsewhere must still clear.
    for (String path : List.of("/", "/app")) {
      HttpContext context = server.createContext(path, who);
      context.setAuthenticator(authenticator);
      context.getFilters().add(authenticator.requestScope());
    }
    // The same application at another path: a cookie that one path set serves no other.
    server.createContext("/other", who).setAuthenticator(authenticator);
    server.start();
    URI uri = URI.create((keys == null ? "http" : "https") + "://localhost:" + server.getAddress().getPort() + "/");
    return new Flavour() {
      public URI uri() {
        return uri;
      }

      public Negotiator negotiator() {
        return negotiator;
      }

      public void close() {
        server.stop(0);
        ((ExecutorService) server.getExecutor()).shutdownNow();
        authenticator.close();
      }
    };
  }

  /** The servlet behind the filter: the container's own view of the user. */
  public static final class WhoServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;

    @Override
    protected void doGet(HttpServletRequest request, HttpServletResponse response) throws IOException {
      if (request.getRequestURI().equals("/leak")) {
        try {
          response.getWriter().print(leakScope());
        } catch (Exception e) {
          throw new IOException(e);
        }
        return;
      }
      if (request.getRequestURI().equals("/logout")) {
        try {
          request.logout();
        } catch (jakarta.servlet.ServletException e) {
          throw new IOException(e);
        }
      }
      response.getWriter().print(request.getRemoteUser() + "|" + request.isUserInRole(GROUP) + "|"
          + (request.getUserPrincipal().getName().equals(request.getRemoteUser()) && !request.isUserInRole("BUILTIN\\Administrators")
          && request.isUserInRole(UNDECLARED) && !request.isUserInRole(NO_GROUP)) + "|" + request.getAuthType());
    }
  }

  private static Flavour tomcat(Negotiator negotiator) throws Exception {
    return tomcat(negotiator, null, null, null);
  }

  // Over TLS with the key store's key when one is given; the filter is told the certificate.
  private static Flavour tomcat(Negotiator negotiator, String keyStore, String password,
      java.security.cert.Certificate certificate) throws Exception {
    Tomcat tomcat = new Tomcat();
    tomcat.setBaseDir(java.nio.file.Files.createTempDirectory("tomcat").toString());
    Connector connector = new Connector();
    connector.setPort(0);
    connector.setProperty("address", "127.0.0.1");
    connector.setProperty("maxHttpHeaderSize", "131072");
    if (keyStore != null) {
      connector.setScheme("https");
      connector.setSecure(true);
      connector.setProperty("SSLEnabled", "true");
      org.apache.tomcat.util.net.SSLHostConfig host = new org.apache.tomcat.util.net.SSLHostConfig();
      org.apache.tomcat.util.net.SSLHostConfigCertificate key = new org.apache.tomcat.util.net.SSLHostConfigCertificate(
          host, org.apache.tomcat.util.net.SSLHostConfigCertificate.Type.UNDEFINED);
      key.setCertificateKeystoreFile(keyStore);
      key.setCertificateKeystorePassword(password);
      key.setCertificateKeystoreType("PKCS12");
      host.addCertificate(key);
      connector.addSslHostConfig(host);
    }
    tomcat.setConnector(connector);
    // Tomcat.addContext would scan annotations, which needs a jakarta.annotation jar that the
    // Debian packages do not install; a context that is configured as it is needs none.
    org.apache.catalina.core.StandardContext context = new org.apache.catalina.core.StandardContext();
    context.setPath("");
    context.setIgnoreAnnotations(true);
    context.addLifecycleListener(event -> {
      if (event.getType().equals(org.apache.catalina.Lifecycle.CONFIGURE_START_EVENT)) {
        context.setConfigured(true);
      }
    });
    tomcat.getHost().addChild(context);
    Tomcat.addServlet(context, "who", new WhoServlet()).addMapping("/*");
    NegotiateFilter filter = certificate == null ? new NegotiateFilter(negotiator)
        : new NegotiateFilter(negotiator, certificate);
    FilterDef def = new FilterDef();
    def.setFilterName("negotiate");
    def.setFilter(filter);
    context.addFilterDef(def);
    FilterMap map = new FilterMap();
    map.setFilterName("negotiate");
    map.addURLPattern("/*");
    context.addFilterMap(map);
    tomcat.start();
    URI uri = URI.create((keyStore == null ? "http" : "https") + "://localhost:" + connector.getLocalPort() + "/");
    return new Flavour() {
      public URI uri() {
        return uri;
      }

      public Negotiator negotiator() {
        return negotiator;
      }

      public void close() {
        try {
          tomcat.stop();
          tomcat.destroy();
        } catch (org.apache.catalina.LifecycleException e) {
          throw new IllegalStateException(e);
        }
      }
    };
  }

  // ---- HTTP by hand, for requests no well-behaved client sends --------------------------------

  private static final class Answer {
    int status;
    String body = "";
    List<String> authenticate = new ArrayList<>();
    List<String> setCookie = new ArrayList<>();
    String retryAfter;
  }

  private static Socket connect(Flavour server) throws IOException {
    return connect(server.uri().getPort(), "127.0.0.1");
  }

  // A connection to a server on 127.0.0.1 from a loopback address of the caller's choice.
  private static Socket connect(int port, String from) throws IOException {
    Socket socket = new Socket(InetAddress.getByName("127.0.0.1"), port, InetAddress.getByName(from), 0);
    socket.setSoTimeout(20000);
    return socket;
  }

  private static Answer request(Socket socket, URI uri, List<String> authorization) throws IOException {
    List<String> headers = new ArrayList<>();
    authorization.forEach(value -> headers.add("Authorization: " + value));
    return request(socket, uri, "GET", "/", headers);
  }

  private static Answer request(Socket socket, URI uri, String method, String path, List<String> headers)
      throws IOException {
    StringBuilder request = new StringBuilder(method + " " + path + " HTTP/1.1\r\nHost: localhost:" + uri.getPort() + "\r\n");
    for (String header : headers) {
      request.append(header).append("\r\n");
    }
    OutputStream out = socket.getOutputStream();
    out.write(request.append("\r\n").toString().getBytes(StandardCharsets.ISO_8859_1));
    out.flush();
    InputStream in = socket.getInputStream();
    Answer answer = new Answer();
    String status = line(in);
    answer.status = Integer.parseInt(status.split(" ")[1]);
    int length = 0;
    boolean chunked = false;
    for (String header = line(in); !header.isEmpty(); header = line(in)) {
      String lower = header.toLowerCase();
      if (lower.startsWith("content-length:")) {
        length = Integer.parseInt(header.substring(15).trim());
      } else if (lower.startsWith("transfer-encoding:") && lower.contains("chunked")) {
        chunked = true;
      } else if (lower.startsWith("www-authenticate:")) {
        answer.authenticate.add(header.substring(17).trim());
      } else if (lower.startsWith("set-cookie:")) {
        answer.setCookie.add(header.substring(11).trim());
      } else if (lower.startsWith("retry-after:")) {
        answer.retryAfter = header.substring(12).trim();
      }
    }
    ByteArrayOutputStream body = new ByteArrayOutputStream();
    if (chunked) {
      for (int size = Integer.parseInt(line(in).trim(), 16); size > 0; size = Integer.parseInt(line(in).trim(), 16)) {
        body.write(in.readNBytes(size));
        line(in);
      }
      line(in);
    } else {
      body.write(in.readNBytes(length));
    }
    answer.body = body.toString(StandardCharsets.UTF_8);
    return answer;
  }

  private static String line(InputStream in) throws IOException {
    ByteArrayOutputStream line = new ByteArrayOutputStream();
    for (int b = in.read(); b != '\n'; b = in.read()) {
      if (b < 0) {
        throw new IOException("the server closed the connection");
      }
      if (b != '\r') {
        line.write(b);
      }
    }
    return line.toString(StandardCharsets.ISO_8859_1);
  }

  private static String header(byte[] token) {
    return "Negotiate " + Base64.getEncoder().encodeToString(token);
  }

  private static byte[] tokenOf(Answer answer) {
    return Base64.getDecoder().decode(answer.authenticate.get(0).substring("Negotiate ".length()));
  }

  // ---- checks --------------------------------------------------------------------------------

  private interface Action {
    void run() throws Exception;
  }

  private static void expectThrows(String what, Class<? extends Throwable> type, Action action) throws Exception {
    try {
      action.run();
    } catch (Exception e) {
      if (type.isInstance(e)) {
        checks++;
        return;
      }
      throw new AssertionError(what + ": expected " + type.getSimpleName() + ", got " + e, e);
    }
    throw new AssertionError(what + ": expected " + type.getSimpleName() + ", nothing thrown");
  }

  private static void check(String what, Object actual, Object expected) {
    if (!expected.equals(actual)) {
      throw new AssertionError(what + ": expected " + expected + ", got " + actual);
    }
    checks++;
  }
}
