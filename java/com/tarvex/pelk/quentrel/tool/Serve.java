package com.tarvex.pelk.quentrel.tool;

import com.sun.net.httpserver.Authenticator;
import com.sun.net.httpserver.HttpContext;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.http.NegotiateAuthenticator;
import com.tarvex.pelk.quentrel.http.LibrarySettings;
import com.tarvex.pelk.quentrel.http.LogLines;
import com.tarvex.pelk.quentrel.http.NegotiateAuthenticator.NegotiatePrincipal;
import com.tarvex.pelk.quentrel.http.NegotiatedUser;
import com.tarvex.pelk.quentrel.http.Negotiator;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.lang.management.ManagementFactory;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.Instant;
import java.time.temporal.ChronoUnit;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.SynchronousQueue;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;

/**
 * An HTTP server that authenticates every request with Negotiate (or its session cookie) and
 * answers, as JSON, who the client is: its name, its SID and its answers for the groups given. One
 * line per request goes to the standard output, the client's method, path and name escaped; the
 * reasons for refusals go to the standard error. It runs until the
 * process is stopped (Ctrl-C), and then stops cleanly: no new connection, waiting exchanges
 * released.
 */
final class Serve {
  private static final int THREADS = 8;
  // A connection has this long to send its request (line, headers, body), and may stay idle this
  // long between requests; there are at most this many at once. Each connection under way has a
  // thread of its own, so clients that send their headers slowly hold their own threads, not
  // those that others need; the bound keeps them from holding every thread the machine has.
  static final int REQUEST_SECONDS = 10;
  static final int IDLE_SECONDS = 30;
  static final int MAX_CONNECTIONS = 1000;
  private static final String ACCEPT_PRINCIPALS = "QUENTREL_ACCEPT_PRINCIPALS";

  private Serve() {}

  static int run(int port, String bind, String packageName, List<String> groups, List<String> spns, PrintStream out,
      PrintStream err) {
    // The native library reads which service principals it accepts from the environment, which a
    // running JVM cannot change: a server for other principals runs in a process of its own.
    if (!spns.isEmpty() && !String.join(",", spns).equals(LibrarySettings.value(ACCEPT_PRINCIPALS))) {
      return relaunch(port, bind, packageName, groups, String.join(",", spns), err);
    }
    InetSocketAddress address;
    try {
      address = bind == null ? new InetSocketAddress(port) : new InetSocketAddress(InetAddress.getByName(bind), port);
    } catch (IOException e) {
      err.println("quentrel serve: cannot bind to " + LogLines.escape(bind) + ": " + e.getMessage());
      return Main.EXIT_FAILED;
    }
    limitConnections();
    // The package's log lines (refused tokens, bad headers) one a line, like the request lines.
    if (System.getProperty("java.util.logging.SimpleFormatter.format") == null) {
      System.setProperty("java.util.logging.SimpleFormatter.format", "%1$tFT%1$tT %4$s %5$s%6$s%n");
    }
    Throwable notLoaded = Library.load();
    if (notLoaded != null) {
      err.println("quentrel serve: the native library did not load: " + Failure.describe(notLoaded));
      return Main.EXIT_FAILED;
    }
    NegotiateAuthenticator negotiate =
        new NegotiateAuthenticator(Negotiator.builder().packageName(packageName).groups(groups).build());
    HttpServer server;
    try {
      server = HttpServer.create(address, 0);
    } catch (IOException e) {
      negotiate.close();
      err.println("quentrel serve: cannot listen on " + LogLines.escape(address) + ": " + e.getMessage());
      return Main.EXIT_FAILED;
    }
    ExecutorService workers = new ThreadPoolExecutor(THREADS, MAX_CONNECTIONS + THREADS, IDLE_SECONDS, TimeUnit.SECONDS,
        new SynchronousQueue<>());
    server.setExecutor(workers);
    route(server, negotiate, packageName, groups, out);
    stopOnExit(server, workers, negotiate, out);
    server.start();
    return announceAndWait(server, bind, packageName, groups, out, err);
  }

  // Every path goes to the one handler; refusals never reach it, so their line is written here.
  private static void route(HttpServer server, NegotiateAuthenticator negotiate, String packageName,
      List<String> groups, PrintStream out) {
    HttpContext context = server.createContext("/", exchange -> answer(exchange, packageName, groups, out));
    context.getFilters().add(negotiate.requestScope());
    context.setAuthenticator(new Authenticator() {
      @Override
      public Result authenticate(HttpExchange exchange) {
        Result result = negotiate.authenticate(exchange);
        if (result instanceof Retry) {
          log(out, exchange, ((Retry) result).getResponseCode(), "-");
        } else if (result instanceof Failure) {
          log(out, exchange, ((Failure) result).getResponseCode(), "-");
        }
        return result;
      }
    });
  }

  private static void stopOnExit(HttpServer server, ExecutorService workers, NegotiateAuthenticator negotiate,
      PrintStream out) {
    Thread stop = new Thread(() -> {
      // Exchanges under way get a second to finish; new connections are refused at once.
      server.stop(1);
      workers.shutdownNow();
      negotiate.close();
      out.println("quentrel serve: stopped");
      out.flush();
    }, "quentrel-serve-stop");
    Runtime.getRuntime().addShutdownHook(stop);
  }

  private static int announceAndWait(HttpServer server, String bind, String packageName, List<String> groups,
      PrintStream out, PrintStream err) {
    int bound = server.getAddress().getPort();
    out.println("quentrel serve: listening on port " + bound + " (http://" + (bind == null ? hostName() : bind) + ":"
        + bound + "/), package " + packageName + (groups.isEmpty() ? "" : ", groups " + String.join(", ", groups))
        + "; Ctrl-C stops");
    out.flush();
    String loosened = LibrarySettings.loosenedLine();
    if (loosened != null) {
      err.println("quentrel serve: settings that widen whom the library trusts: " + loosened);
      err.flush();
    }
    // The server runs on its own threads until the shutdown hook stops it and the JVM exits.
    while (true) {
      try {
        Thread.sleep(Long.MAX_VALUE);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        return Main.EXIT_PASSED;
      }
    }
  }

  // The JDK's server takes its limits from system properties, read when its first server is made;
  // a value the user gave on the command line stands.
  private static void limitConnections() {
    Map<String, Integer> limits = Map.of("sun.net.httpserver.maxReqTime", REQUEST_SECONDS,
        "sun.net.httpserver.idleInterval", IDLE_SECONDS, "jdk.httpserver.maxConnections", MAX_CONNECTIONS);
    limits.forEach((name, value) -> {
      if (System.getProperty(name) == null) {
        System.setProperty(name, Integer.toString(value));
      }
    });
  }

  // The same server in a child JVM with the same options, whose environment names the principals;
  // it shares the standard streams, and stops with this process.
  private static int relaunch(int port, String bind, String packageName, List<String> groups, String principals,
      PrintStream err) {
    List<String> command = new ArrayList<>();
    command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
    command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
    command.addAll(List.of("-cp", System.getProperty("java.class.path"), Main.class.getName(), "serve", "--port",
        Integer.toString(port), "--package", packageName));
    if (bind != null) {
      command.addAll(List.of("--bind", bind));
    }
    for (String group : groups) {
      command.addAll(List.of("--group", group));
    }
    ProcessBuilder builder = new ProcessBuilder(command).inheritIO();
    builder.environment().put(ACCEPT_PRINCIPALS, principals);
    Process server;
    try {
      server = builder.start();
    } catch (IOException e) {
      err.println("quentrel serve: cannot start the server for " + principals + ": " + e.getMessage());
      return Main.EXIT_FAILED;
    }
    Runtime.getRuntime().addShutdownHook(new Thread(() -> {
      server.destroy();
      try {
        server.waitFor(5, TimeUnit.SECONDS);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
      }
    }, "quentrel-serve-relay"));
    try {
      return server.waitFor();
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      server.destroy();
      return Main.EXIT_FAILED;
    }
  }

  private static void answer(HttpExchange exchange, String packageName, List<String> groups, PrintStream out)
      throws IOException {
    try (exchange) {
      NegotiatedUser user = ((NegotiatePrincipal) exchange.getPrincipal()).user();
      Map<String, Object> json = new LinkedHashMap<>();
      json.put("name", user.getName());
      json.put("sid", UserAuth.GetUserSID(user.getName()));
      json.put("package", packageName);
      Map<String, Object> answers = new LinkedHashMap<>();
      for (String group : groups) {
        answers.put(group, user.isMember(group));
      }
      json.put("groups", answers);
      if (!user.unanswered().isEmpty()) {
        json.put("groupsNotTested", new LinkedHashMap<String, Object>(user.unanswered()));
      }
      byte[] body = (Json.write(json) + "\n").getBytes(StandardCharsets.UTF_8);
      // The line first: a client that has its answer may stop the server at once.
      log(out, exchange, 200, user.getName());
      exchange.getResponseHeaders().set("Content-Type", "application/json");
      exchange.sendResponseHeaders(200, body.length);
      try (OutputStream stream = exchange.getResponseBody()) {
        stream.write(body);
      }
    }
  }

  private static void log(PrintStream out, HttpExchange exchange, int status, String user) {
    InetSocketAddress peer = exchange.getRemoteAddress();
    out.println(Instant.now().truncatedTo(ChronoUnit.SECONDS) + " " + peer.getAddress().getHostAddress() + ":"
        + peer.getPort() + " " + LogLines.escape(exchange.getRequestMethod()) + " "
        + LogLines.escape(exchange.getRequestURI().getRawPath()) + " " + status + " " + LogLines.escape(user));
    out.flush();
  }

  private static String hostName() {
    try {
      return InetAddress.getLocalHost().getCanonicalHostName();
    } catch (IOException e) {
      return "localhost";
    }
  }
}
