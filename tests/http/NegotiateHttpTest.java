import com.sun.net.httpserver.HttpServer;
import com.tarvex.pelk.quentrel.ClientContext;
import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.SecurityContext;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.WinAuthException;
import com.tarvex.pelk.quentrel.http.NegotiateAuthenticator;
import com.tarvex.pelk.quentrel.http.NegotiateAuthenticator.NegotiatePrincipal;
import com.tarvex.pelk.quentrel.http.NegotiateClient;
import com.tarvex.pelk.quentrel.http.NegotiateException;
import com.tarvex.pelk.quentrel.http.Negotiator;
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
import java.net.InetSocketAddress;
import java.net.Socket;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Base64;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
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
 * the tool's serve command, and at the end no context left in the library.
 * Prints "PASS" when every check held.
 */
public final class NegotiateHttpTest {
  private static final String GROUP = "BUILTIN\\Users";
  private static final AtomicInteger LOG_LINES = new AtomicInteger();
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
        LOG_LINES.incrementAndGet();
        if (SHOW_LOG) {
          System.err.println("log: " + new java.util.logging.SimpleFormatter().formatMessage(record));
        }
      }

      @Override
      public void flush() {}

      @Override
      public void close() {}
    });
    log.setUseParentHandlers(false);
    if (SHOW_LOG) {
      log.setLevel(java.util.logging.Level.ALL);
    }
    TOMCAT_LOG.setLevel(java.util.logging.Level.SEVERE);
    if (args[0].equals("--serve")) {
      serveFlavour(args[1], args[2]);
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
    for (String name : List.of("jdk", "tomcat")) {
      for (String pkg : List.of("Negotiate", "Kerberos")) {
        try (Flavour server = start(name, pkg)) {
          exchanges(name + "/" + pkg, server, pkg);
          if (pkg.equals("Negotiate")) {
            badInput(name, server);
            load(name, server);
          }
        }
      }
    }
    bounded();
    unprovenServer();
    serve(args[0]);
    noContextLeft();
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
    check(name + " answer", response.body(), user + "|true|true");
    // Mutual authentication: the one-leg package's final token comes back on the 200.
    check(name + " final token", response.headers().firstValue("WWW-Authenticate").isPresent(), pkg.equals("Kerberos"));
    check(name + " nothing waiting", server.negotiator().pendingCount(), 0);
  }

  // Each bad request gets 400 or 401 with a log line, no stack trace, and leaves nothing waiting;
  // a multi-leg exchange does not continue on another connection.
  private static void badInput(String name, Flavour server) throws Exception {
    String huge = "Negotiate " + "A".repeat(70000);
    String garbage = "Negotiate " + Base64.getEncoder().encodeToString("no token of any package".getBytes(StandardCharsets.UTF_8));
    Object[][] cases = {
      {"wrong scheme", "Basic dXNlcjpwYXNz", 401},
      {"no token", "Negotiate", 400},
      {"bad base64", "Negotiate ***not*base64***", 400},
      {"oversized", huge, 400},
      {"refused token", garbage, 401},
      {"two tokens", null, 400},
    };
    for (Object[] c : cases) {
      int lines = LOG_LINES.get();
      try (Socket socket = connect(server)) {
        List<String> headers = c[1] == null ? List.of(garbage, garbage) : List.of((String) c[1]);
        Answer answer = request(socket, server.uri(), headers);
        check(name + " " + c[0] + " status", answer.status, c[2]);
        check(name + " " + c[0] + " no trace", answer.body.contains("Exception") || answer.body.contains("at com."), false);
        check(name + " " + c[0] + " logged", LOG_LINES.get() > lines, true);
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
    for (Future<Integer> result : results) {
      ok += result.get(120, TimeUnit.SECONDS);
    }
    pool.shutdown();
    System.out.printf("%s: %d exchanges from %d threads in %d ms%n", name, threads * perThread, threads,
        TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start));
    check(name + " exchanges answered", ok, threads * perThread);
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
    while (server.negotiator().pendingCount() > 0 && System.nanoTime() < deadline) {
      Thread.sleep(20);
    }
    check(name + " abandoned exchanges released", server.negotiator().pendingCount(), 0);
    check(name + " no open context", SecurityContext.openCount(), 0);
  }

  // Half-finished exchanges beyond the limit push out the oldest, whose context is released.
  private static void bounded() throws Exception {
    int before = SecurityContext.openCount();
    try (Negotiator negotiator = Negotiator.builder().maxPending(3).build()) {
      for (int connection = 0; connection < 5; connection++) {
        try (ClientContext client = ClientContext.open("Negotiate", null, 0)) {
          check("first leg", negotiator.authenticate(connection, List.of(header(client.firstStep().token()))).status(), 401);
        }
      }
      check("exchanges kept", negotiator.pendingCount(), 3);
      check("contexts kept", SecurityContext.openCount(), before + 3);
    }
    check("contexts released on close", SecurityContext.openCount(), before);
  }

  // A server that answers 200 without proving itself fails a client that asked for mutual
  // authentication.
  private static void unprovenServer() throws Exception {
    HttpServer plain = HttpServer.create(new InetSocketAddress("127.0.0.1", 0), 0);
    plain.createContext("/", exchange -> {
      exchange.sendResponseHeaders(200, -1);
      exchange.close();
    });
    plain.start();
    try {
      URI uri = URI.create("http://127.0.0.1:" + plain.getAddress().getPort() + "/");
      expectThrows("unproven server", NegotiateException.class, () -> NegotiateClient.send(HttpClient.newHttpClient(),
          HttpRequest.newBuilder(uri).build(), HttpResponse.BodyHandlers.ofString(), "Kerberos", true));
    } finally {
      plain.stop(0);
    }
  }

  // The tool's server, in a process of its own on the same library as this one: who the client
  // is, then a clean stop on SIGINT.
  private static void serve(String jar) throws Exception {
    Process serve = new ProcessBuilder(new File(System.getProperty("java.home"), "bin/java").getPath(), "-Xcheck:jni",
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-jar", jar, "serve", "--port", "0",
        "--group", GROUP).redirectErrorStream(true).start();
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
    check("contexts left to the Cleaner", SecurityContext.cleanedCount(), 1L);
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
    Flavour server = start(name, pkg);
    System.out.println(name + " flavour listening on port " + server.uri().getPort());
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
    Negotiator negotiator = Negotiator.builder().packageName(pkg).groups(GROUP).timeout(Duration.ofSeconds(2)).build();
    return name.equals("jdk") ? jdkServer(negotiator) : tomcat(negotiator);
  }

  private static Flavour jdkServer(Negotiator negotiator) throws IOException {
    HttpServer server = HttpServer.create(new InetSocketAddress("127.0.0.1", 0), 0);
    server.setExecutor(Executors.newFixedThreadPool(8));
    NegotiateAuthenticator authenticator = new NegotiateAuthenticator(negotiator);
    server.createContext("/", exchange -> {
      NegotiatePrincipal user = (NegotiatePrincipal) exchange.getPrincipal();
      byte[] body = (user.getUsername() + "|" + user.isMember(GROUP) + "|" + user.getRealm().equals(negotiator.packageName()))
          .getBytes(StandardCharsets.UTF_8);
      exchange.sendResponseHeaders(200, body.length);
      exchange.getResponseBody().write(body);
      exchange.close();
    }).setAuthenticator(authenticator);
    server.start();
    URI uri = URI.create("http://localhost:" + server.getAddress().getPort() + "/");
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
      response.getWriter().print(request.getRemoteUser() + "|" + request.isUserInRole(GROUP) + "|"
          + (request.getUserPrincipal().getName().equals(request.getRemoteUser()) && !request.isUserInRole("BUILTIN\\Administrators")));
    }
  }

  private static Flavour tomcat(Negotiator negotiator) throws Exception {
    Tomcat tomcat = new Tomcat();
    tomcat.setBaseDir(java.nio.file.Files.createTempDirectory("tomcat").toString());
    Connector connector = new Connector();
    connector.setPort(0);
    connector.setProperty("address", "127.0.0.1");
    connector.setProperty("maxHttpHeaderSize", "131072");
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
    NegotiateFilter filter = new NegotiateFilter(negotiator);
    FilterDef def = new FilterDef();
    def.setFilterName("negotiate");
    def.setFilter(filter);
    context.addFilterDef(def);
    FilterMap map = new FilterMap();
    map.setFilterName("negotiate");
    map.addURLPattern("/*");
    context.addFilterMap(map);
    tomcat.start();
    URI uri = URI.create("http://localhost:" + connector.getLocalPort() + "/");
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
  }

  private static Socket connect(Flavour server) throws IOException {
    Socket socket = new Socket("127.0.0.1", server.uri().getPort());
    socket.setSoTimeout(20000);
    return socket;
  }

  private static Answer request(Socket socket, URI uri, List<String> authorization) throws IOException {
    StringBuilder request = new StringBuilder("GET / HTTP/1.1\r\nHost: localhost:" + uri.getPort() + "\r\n");
    for (String value : authorization) {
      request.append("Authorization: ").append(value).append("\r\n");
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
