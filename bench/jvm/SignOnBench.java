import com.sun.net.httpserver.Authenticator;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpPrincipal;
import com.sun.net.httpserver.HttpServer;
import com.tarvex.pelk.quentrel.ServerContext;
import com.tarvex.pelk.quentrel.http.NegotiateAuthenticator;
import com.tarvex.pelk.quentrel.http.Negotiator;
import java.io.BufferedInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.Executors;
import org.ietf.jgss.GSSContext;
import org.ietf.jgss.GSSCredential;
import org.ietf.jgss.GSSException;
import org.ietf.jgss.GSSManager;
import org.ietf.jgss.GSSName;
import org.ietf.jgss.Oid;

/**
 * Server sign-ons on the system world, inside a Kerberos realm: a client's first token accepted,
 * the client named, the context released. Every token is made beforehand by a JGSS client, one
 * context each, so that no replay cache refuses one and no case pays for the client.
 *
 * <p>The acceptor alone: {@link ServerContext} (create, accept one Kerberos token, ask the name,
 * close) against JGSS's acceptor and against GSSAPI called from C++, each with its acceptor
 * credential acquired once; GSSAPI both in one native loop and through one JNI call a sign-on, as a
 * Java binding of GSSAPI calls it.
 *
 * <p>Through HTTP: the JDK's HTTP server with {@link NegotiateAuthenticator}, against the same
 * server with a JGSS Negotiate authenticator written here and with one that calls GSSAPI from C++,
 * each request a fresh SPNEGO token on a keep-alive connection, with 1, 2 and 4 client threads;
 * and pages of 20 requests after the first sign-on, with the library's sessions and without.
 */
final class SignOnBench {
  private static final String SERVICE = "HTTP@localhost";
  private static final Oid KRB5 = oid("1.2.840.113554.1.2.2");
  private static final Oid SPNEGO = oid("1.3.6.1.5.5.2");
  private static final GSSManager MANAGER = GSSManager.getInstance();

  private SignOnBench() {}

  private static Oid oid(String text) {
    try {
      return new Oid(text);
    } catch (GSSException e) {
      throw new ExceptionInInitializerError(e);
    }
  }

  /** The parts named in `only` ("acceptor", "http"), or both. */
  static void run(boolean quick, List<String> only) throws Exception {
    boolean all = !only.contains("acceptor") && !only.contains("http");
    if (all || only.contains("acceptor")) {
      acceptor(quick, "Kerberos", KRB5);
      acceptor(quick, "Negotiate", SPNEGO);
      acceptorThreads(quick, "Kerberos", KRB5);
      acceptorThreads(quick, "Negotiate", SPNEGO);
      springValidator(quick);
    }
    if (all || only.contains("http")) {
      http(quick);
    }
  }

  // ---- tokens --------------------------------------------------------------------------------

  private static GSSCredential clientCredential;

  /** `count` first tokens of the default principal for HTTP/localhost, each of a context of its own. */
  static byte[][] tokens(Oid mechanism, int count) throws GSSException {
    if (clientCredential == null) {
      clientCredential = MANAGER.createCredential(null, GSSCredential.DEFAULT_LIFETIME, new Oid[] {KRB5, SPNEGO},
          GSSCredential.INITIATE_ONLY);
    }
    GSSName service = MANAGER.createName(SERVICE, GSSName.NT_HOSTBASED_SERVICE);
    byte[][] made = new byte[count][];
    for (int i = 0; i < count; ++i) {
      GSSContext context = MANAGER.createContext(service, mechanism, clientCredential, GSSContext.DEFAULT_LIFETIME);
      made[i] = context.initSecContext(new byte[0], 0, 0);
      context.dispose();
    }
    return made;
  }

  /** Tokens handed out in order to the batches of one case. */
  static final class Supply {
    private final byte[][] tokens;
    private int next;

    Supply(Oid mechanism, int count) throws GSSException {
      tokens = tokens(mechanism, count);
    }

    /** The index of the first of the next `n` tokens. */
    int take(int n) {
      if (next + n > tokens.length) {
        throw new IllegalStateException("the benchmark made too few tokens");
      }
      next += n;
      return next - n;
    }
  }

  // ---- the acceptor alone --------------------------------------------------------------------

  /** The package's sign-ons on tokens of its mechanism: krb5 for Kerberos, SPNEGO for Negotiate. */
  static void acceptor(boolean quick, String packageName, Oid mechanism) throws Exception {
    int n = quick ? 2 : 100;
    // The harness runs each case (quick ? 2 : 12) times: warm-ups, then the measured rounds; before
    // them, `warm` more sign-ons of each side, so that the JIT has compiled JGSS's acceptor (and the
    // library's few Java lines) before any batch is timed.
    int batches = quick ? 2 : 12;
    int warm = quick ? 0 : 20 * n;
    Supply library = new Supply(mechanism, n * batches + warm);
    Supply jgss = new Supply(mechanism, n * batches + warm);
    Supply direct = new Supply(mechanism, n * batches);
    Supply binding = new Supply(mechanism, n * batches);
    GSSCredential jgssAcceptor = MANAGER.createCredential(null, GSSCredential.INDEFINITE_LIFETIME, mechanism,
        GSSCredential.ACCEPT_ONLY);
    long gssAcceptor = JvmBench.gssAcceptor(mechanism.equals(SPNEGO));
    try {
      JvmBench.Batch librarySide = size -> {
        long named = 0;
        for (int i = library.take(size), end = i + size; i < end; ++i) {
          try (ServerContext server = ServerContext.open(packageName)) {
            if (!server.accept(library.tokens[i]).complete()) {
              throw new IllegalStateException("the library asks for another leg");
            }
            named += server.clientName().length();
          }
        }
        return named;
      };
      JvmBench.Batch jgssSide = size -> {
        long named = 0;
        for (int i = jgss.take(size), end = i + size; i < end; ++i) {
          GSSContext context = MANAGER.createContext(jgssAcceptor);
          context.acceptSecContext(jgss.tokens[i], 0, jgss.tokens[i].length);
          if (!context.isEstablished()) {
            throw new IllegalStateException("JGSS asks for another leg");
          }
          named += context.getSrcName().toString().length();
          context.dispose();
        }
        return named;
      };
      JvmBench.sink += librarySide.run(warm) + jgssSide.run(warm);
      double[] t = JvmBench.compare(n, librarySide, jgssSide,
          size -> JvmBench.gssSignOns(gssAcceptor, direct.tokens, direct.take(size), size), size -> {
        long named = 0;
        for (int i = binding.take(size), end = i + size; i < end; ++i) {
          named += JvmBench.gssSignOn(gssAcceptor, binding.tokens[i])[0].length;
        }
        return named;
      });
      String label = packageName + " sign-on (create, accept, name, free)";
      JvmBench.row(label, t[0], "JGSS acceptor", t[1], 0.8, "ns");
      JvmBench.row(label, t[0], "GSSAPI from C++", t[2], 1.05, "ns");
      JvmBench.row(label, t[0], "GSSAPI, a JNI call each", t[3], 1.05, "ns");
    } finally {
      JvmBench.gssReleaseAcceptor(gssAcceptor);
      jgssAcceptor.dispose();
    }
  }

  /** One sign-on of a contender's, on a token of the supply; the client's name's length. */
  interface SignOnCall {
    long signOn(byte[][] tokens, int index) throws Exception;
  }

  /**
   * Sign-ons of 1, 2 and 4 threads at once, each thread on tokens of its own: the library's
   * against JGSS's acceptor and against GSSAPI from C++ (a JNI call a sign-on, on one credential
   * all threads share, as the others share theirs). Each contender is warmed up alike before any
   * batch is timed, so that the JIT has compiled its path and GSSAPI's caches are filled, and the
   * batches of the contenders alternate. Per case: the wall time per sign-on over all threads (the
   * throughput, which carries the machine's load), the CPU time of all threads a sign-on (what a
   * core pays for one; a waiter that spins on a lock makes it grow with the threads) and each
   * sign-on's latency. A round is 2,000 sign-ons, so that each thread's share lasts well beyond
   * what starting its thread costs.
   */
  static void acceptorThreads(boolean quick, String packageName, Oid mechanism) throws Exception {
    int n = quick ? 4 : 2000;
    int warm = quick ? 0 : 2;
    int rounds = quick ? 1 : 9;
    int[] counts = {1, 2, 4};
    String[] names = {"quentrel", "JGSS acceptor", "GSSAPI from C++"};
    GSSCredential jgssAcceptor = MANAGER.createCredential(null, GSSCredential.INDEFINITE_LIFETIME, mechanism,
        GSSCredential.ACCEPT_ONLY);
    long gssAcceptor = JvmBench.gssAcceptor(mechanism.equals(SPNEGO));
    SignOnCall[] calls = {
      (tokens, i) -> librarySignOn(packageName, tokens[i]),
      (tokens, i) -> jgssSignOn(jgssAcceptor, tokens[i]),
      (tokens, i) -> JvmBench.gssSignOns(gssAcceptor, tokens, i, 1),
    };
    try {
      // The JIT's warm-up, the same for each: a thousand sign-ons each on one thread.
      for (SignOnCall call : calls) {
        signOnBatch(1, quick ? 2 : 1000, new Supply(mechanism, quick ? 2 : 1000), call);
      }
      double[][] wall = new double[counts.length][];
      for (int k = 0; k < counts.length; ++k) {
        wall[k] = threadRows(packageName, mechanism, counts[k], n, warm, rounds, names, calls);
      }
      for (int k = 0; k < counts.length; ++k) {
        String label = packageName + " sign-ons, " + counts[k] + (counts[k] == 1 ? " thread" : " threads");
        JvmBench.row(label + ", wall time each", wall[k][0], "JGSS acceptor", wall[k][1], 1.0, "ns");
        JvmBench.row(label + ", wall time each", wall[k][0], "GSSAPI from C++", wall[k][2], 0, "ns");
      }
      for (int k = 1; k < counts.length; ++k) {
        for (int c = 0; c < calls.length; ++c) {
          JvmBench.rowAtLeast(names[c] + " " + packageName + ", " + counts[k] + " threads, total throughput", wall[k][c],
              "1 thread", wall[0][c], c == 0 && k == 1 ? 1.15 : 0, "ns");
        }
      }
    } finally {
      JvmBench.gssReleaseAcceptor(gssAcceptor);
      jgssAcceptor.dispose();
    }
  }

  /**
   * The rounds of one thread count: each contender's batches of `n` sign-ons in turn (the order
   * flips every round), after `warm` untimed rounds; the rates table's row of each, and the median
   * wall time per sign-on of each, returned.
   */
  static double[] threadRows(String packageName, Oid mechanism, int threads, int n, int warm, int rounds,
      String[] names, SignOnCall[] calls) throws Exception {
    int each = Math.max(1, n / threads);
    double[][] wall = new double[calls.length][rounds];
    double[][] cpu = new double[calls.length][rounds];
    List<List<Long>> latencies = new ArrayList<>();
    Supply[] supplies = new Supply[calls.length];
    for (int c = 0; c < calls.length; ++c) {
      latencies.add(new ArrayList<>());
      supplies[c] = new Supply(mechanism, (warm + rounds) * each * threads);
    }
    for (int round = -warm; round < rounds; ++round) {
      for (int k = 0; k < calls.length; ++k) {
        int c = (round & 1) == 0 ? k : calls.length - 1 - k;
        BatchResult result = signOnBatch(threads, each, supplies[c], calls[c]);
        if (round < 0) {
          continue;
        }
        wall[c][round] = result.wall / (double) result.latencies.length;
        cpu[c][round] = result.cpu / (double) result.latencies.length;
        for (long latency : result.latencies) {
          latencies.get(c).add(latency);
        }
      }
    }
    double[] medians = new double[calls.length];
    for (int c = 0; c < calls.length; ++c) {
      medians[c] = JvmBench.median(wall[c]);
      long[] p = percentiles(latencies.get(c));
      JvmBench.rateRow(names[c] + ", " + packageName, threads, medians[c], JvmBench.median(cpu[c]), p[0], p[1]);
    }
    return medians;
  }

  /** `threads` threads of `each` sign-ons, on the supply's next tokens: wall time, CPU of all threads, latencies. */
  static BatchResult signOnBatch(int threads, int each, Supply supply, SignOnCall call) throws Exception {
    int first = supply.take(each * threads);
    long[] latencies = new long[each * threads];
    AtomicLong cpu = new AtomicLong();
    long[] begun = new long[1];
    JvmBench.sink += JvmBench.inThreads(threads, each, (thread, count) -> {
      long start = JvmBench.now();
      long named = 0;
      for (int i = thread * count, end = i + count; i < end; ++i) {
        long t = System.nanoTime();
        named += call.signOn(supply.tokens, first + i);
        latencies[i] = System.nanoTime() - t;
      }
      cpu.addAndGet(JvmBench.now() - start);
      return named;
    }, () -> begun[0] = System.nanoTime());
    return new BatchResult(latencies, System.nanoTime() - begun[0], cpu.get());
  }

  /** One sign-on of the library's: create, accept, name, free; the name's length. */
  static long librarySignOn(String packageName, byte[] token) throws Exception {
    try (ServerContext server = ServerContext.open(packageName)) {
      server.accept(token);
      return server.clientName().length();
    }
  }

  /** The same through JGSS's acceptor. */
  static long jgssSignOn(GSSCredential acceptor, byte[] token) throws GSSException {
    GSSContext context = MANAGER.createContext(acceptor);
    context.acceptSecContext(token, 0, token.length);
    long named = context.getSrcName().toString().length();
    context.dispose();
    return named;
  }

  // ---- Spring Security's own Kerberos validator ---------------------------------------------

  /**
   * Spring Security's SunJaasKerberosTicketValidator (JGSS under a JAAS login of the service's
   * keytab) against the library's validation (create, accept, name, free) on SPNEGO tokens of
   * the same kind, where run.sh found it for the class path; called by reflection, so the
   * benchmark builds without it.
   */
  static void springValidator(boolean quick) throws Exception {
    Object validator = SpringPeer.validator();
    if (validator == null) {
      System.out.println("Spring Security's Kerberos validator is not on the class path: no row of it");
      return;
    }
    java.lang.reflect.Method validate = validator.getClass().getMethod("validateTicket", byte[].class);
    int n = quick ? 2 : 100;
    int batches = quick ? 2 : 12;
    int warm = quick ? 0 : 20 * n;
    Supply library = new Supply(SPNEGO, n * batches + warm);
    Supply spring = new Supply(SPNEGO, n * batches + warm);
    JvmBench.Batch librarySide = size -> {
      long named = 0;
      for (int i = library.take(size), end = i + size; i < end; ++i) {
        try (ServerContext server = ServerContext.open("Negotiate")) {
          server.accept(library.tokens[i]);
          named += server.clientName().length();
        }
      }
      return named;
    };
    JvmBench.Batch springSide = size -> {
      long named = 0;
      for (int i = spring.take(size), end = i + size; i < end; ++i) {
        Object validation = validate.invoke(validator, (Object) spring.tokens[i]);
        named += validation.getClass().getMethod("username").invoke(validation).toString().length();
      }
      return named;
    };
    JvmBench.sink += librarySide.run(warm) + springSide.run(warm);
    double[] t = JvmBench.compare(n, librarySide, springSide);
    JvmBench.row("Negotiate ticket validation (a token to the client's name)", t[0],
        "Spring Security SunJaasKerberosTicketValidator", t[1], 1.0, "ns");
  }

  /** Spring Security's validator for HTTP/localhost with the keytab KRB5_KTNAME names; null where absent. */
  static final class SpringPeer {
    private static final String VALIDATOR =
        "org.springframework.security.kerberos.authentication.sun.SunJaasKerberosTicketValidator";

    static Object validator() throws Exception {
      Class<?> type;
      try {
        type = Class.forName(VALIDATOR);
      } catch (ClassNotFoundException absent) {
        return null;
      }
      String keytab = System.getenv("KRB5_KTNAME");
      if (keytab == null) {
        throw new IllegalStateException("KRB5_KTNAME names no keytab for Spring's validator");
      }
      keytab = keytab.startsWith("FILE:") ? keytab.substring(5) : keytab;
      String realm = new javax.security.auth.kerberos.KerberosPrincipal("HTTP/localhost").getRealm();
      Object validator = type.getDeclaredConstructor().newInstance();
      Class<?> resource = Class.forName("org.springframework.core.io.Resource");
      Object file = Class.forName("org.springframework.core.io.FileSystemResource").getConstructor(String.class)
          .newInstance(keytab);
      type.getMethod("setServicePrincipal", String.class).invoke(validator, "HTTP/localhost@" + realm);
      type.getMethod("setKeyTabLocation", resource).invoke(validator, file);
      type.getMethod("afterPropertiesSet").invoke(validator);
      return validator;
    }
  }

  // ---- through HTTP --------------------------------------------------------------------------

  /** One of the JDK HTTP servers under comparison, on loopback, answering the client's name. */
  static final class Server implements AutoCloseable {
    final String name;
    private final HttpServer server;
    // The server's own threads, where the authenticator and the handler run: their CPU time is the
    // server's cost of a sign-on, apart from the clients', the JIT's and the collector's.
    private final List<Thread> threads = new java.util.concurrent.CopyOnWriteArrayList<>();
    private final ExecutorService pool = Executors.newFixedThreadPool(4, task -> {
      Thread thread = new Thread(task, "pool-server-" + threads.size());
      threads.add(thread);
      return thread;
    });

    Server(String name, Authenticator authenticator) throws IOException {
      this.name = name;
      server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 64);
      server.createContext("/", exchange -> {
        byte[] body = exchange.getPrincipal().getUsername().getBytes(StandardCharsets.UTF_8);
        exchange.sendResponseHeaders(200, body.length);
        try (OutputStream out = exchange.getResponseBody()) {
          out.write(body);
        }
      }).setAuthenticator(authenticator);
      server.setExecutor(pool);
      server.start();
    }

    int port() {
      return server.getAddress().getPort();
    }

    /** The CPU time the server's threads have spent so far, in ns. */
    long cpu() {
      long sum = 0;
      for (Thread thread : threads) {
        long spent = java.lang.management.ManagementFactory.getThreadMXBean().getThreadCpuTime(thread.getId());
        sum += Math.max(0, spent);
      }
      return sum;
    }

    @Override
    public void close() {
      server.stop(0);
      pool.shutdownNow();
    }
  }

  /** The Negotiate authenticator a JGSS server has: one acceptor credential, a context per request. */
  static final class JgssAuthenticator extends Authenticator {
    private final GSSCredential credential;

    JgssAuthenticator() throws GSSException {
      credential = MANAGER.createCredential(null, GSSCredential.INDEFINITE_LIFETIME, SPNEGO, GSSCredential.ACCEPT_ONLY);
    }

    @Override
    public Result authenticate(HttpExchange exchange) {
      byte[] token = tokenOf(exchange);
      if (token == null) {
        return challenge(exchange);
      }
      GSSContext context = null;
      try {
        context = MANAGER.createContext(credential);
        byte[] reply = context.acceptSecContext(token, 0, token.length);
        if (!context.isEstablished()) {
          return challenge(exchange);
        }
        if (reply != null && reply.length > 0) {
          exchange.getResponseHeaders().add("WWW-Authenticate", "Negotiate " + Base64.getEncoder().encodeToString(reply));
        }
        return new Success(new HttpPrincipal(context.getSrcName().toString(), "Negotiate"));
      } catch (GSSException refused) {
        return challenge(exchange);
      } finally {
        if (context != null) {
          try {
            context.dispose();
          } catch (GSSException ignored) {
            // Nothing is left to release.
          }
        }
      }
    }

    void dispose() throws GSSException {
      credential.dispose();
    }
  }

  /** The same authenticator over GSSAPI called from C++ through one JNI call a request: the floor. */
  static final class GssAuthenticator extends Authenticator implements AutoCloseable {
    private final long credential = JvmBench.gssAcceptor(true);

    @Override
    public Result authenticate(HttpExchange exchange) {
      byte[] token = tokenOf(exchange);
      if (token == null) {
        return challenge(exchange);
      }
      byte[][] answer;
      try {
        answer = JvmBench.gssSignOn(credential, token);
      } catch (IllegalStateException refused) {
        return challenge(exchange);
      }
      if (answer[1].length > 0) {
        exchange.getResponseHeaders().add("WWW-Authenticate", "Negotiate " + Base64.getEncoder().encodeToString(answer[1]));
      }
      return new Success(new HttpPrincipal(new String(answer[0], StandardCharsets.UTF_8), "Negotiate"));
    }

    @Override
    public void close() {
      JvmBench.gssReleaseAcceptor(credential);
    }
  }

  static byte[] tokenOf(HttpExchange exchange) {
    String header = exchange.getRequestHeaders().getFirst("Authorization");
    if (header == null || !header.regionMatches(true, 0, "Negotiate ", 0, 10)) {
      return null;
    }
    try {
      return Base64.getDecoder().decode(header.substring(10).trim());
    } catch (IllegalArgumentException e) {
      return null;
    }
  }

  static Authenticator.Result challenge(HttpExchange exchange) {
    exchange.getResponseHeaders().add("WWW-Authenticate", "Negotiate");
    return new Authenticator.Retry(401);
  }

  /** A keep-alive HTTP/1.1 connection that sends GET requests and reads whole responses. */
  static final class Connection implements AutoCloseable {
    private final Socket socket;
    private final OutputStream out;
    private final InputStream in;
    private final byte[] line = new byte[16384];
    // The name=value of the last cookie the server set on this connection, null before one.
    String cookie;

    Connection(int port) throws IOException {
      socket = new Socket(InetAddress.getLoopbackAddress(), port);
      socket.setTcpNoDelay(true);
      out = socket.getOutputStream();
      in = new BufferedInputStream(socket.getInputStream());
    }

    /** One request with these extra header lines; the status of the response, its body read. */
    int get(String headers) throws IOException {
      out.write(("GET / HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n").getBytes(StandardCharsets.ISO_8859_1));
      out.flush();
      String status = readLine();
      if (status == null || status.length() < 12) {
        throw new IOException("no response from the server");
      }
      long length = 0;
      for (String header = readLine(); header != null && !header.isEmpty(); header = readLine()) {
        if (header.regionMatches(true, 0, "Content-length:", 0, 15)) {
          length = Long.parseLong(header.substring(15).trim());
        } else if (header.regionMatches(true, 0, "Set-Cookie:", 0, 11)) {
          String value = header.substring(11).trim();
          int end = value.indexOf(';');
          cookie = end < 0 ? value : value.substring(0, end);
        }
      }
      for (long left = length; left > 0; ) {
        long skipped = in.skip(left);
        if (skipped <= 0) {
          if (in.read() < 0) {
            throw new IOException("the response ended early");
          }
          skipped = 1;
        }
        left -= skipped;
      }
      return Integer.parseInt(status.substring(9, 12));
    }

    private String readLine() throws IOException {
      int length = 0;
      for (int c = in.read(); c != '\n'; c = in.read()) {
        if (c < 0) {
          return null;
        }
        if (c != '\r' && length < line.length) {
          line[length++] = (byte) c;
        }
      }
      return new String(line, 0, length, StandardCharsets.ISO_8859_1);
    }

    @Override
    public void close() throws IOException {
      socket.close();
    }
  }

  /** Latencies of one batch's requests (ns), its wall time and the CPU time the process spent on it. */
  static final class BatchResult {
    final long[] latencies;
    final long wall;
    final long cpu;

    BatchResult(long[] latencies, long wall, long cpu) {
      this.latencies = latencies;
      this.wall = wall;
      this.cpu = cpu;
    }
  }

  /**
   * `headers.length` requests to `port`, split between `threads` threads with a connection each,
   * each request with its own Authorization header; every answer must be 200.
   */
  static BatchResult requests(int port, int threads, String[] headers) throws Exception {
    int each = headers.length / threads;
    Connection[] connections = new Connection[threads];
    for (int t = 0; t < threads; ++t) {
      connections[t] = new Connection(port);
    }
    long[] latencies = new long[each * threads];
    CyclicBarrier start = new CyclicBarrier(threads + 1);
    Exception[] failures = new Exception[threads];
    Thread[] running = new Thread[threads];
    for (int t = 0; t < threads; ++t) {
      final int thread = t;
      running[t] = new Thread(() -> {
        try {
          start.await();
          for (int i = thread * each, end = i + each; i < end; ++i) {
            long begun = System.nanoTime();
            int status = connections[thread].get(headers[i]);
            latencies[i] = System.nanoTime() - begun;
            if (status != 200) {
              throw new IllegalStateException("the server answered " + status);
            }
          }
        } catch (Exception failure) {
          failures[thread] = failure;
        }
      });
      running[t].start();
    }
    long cpu = JvmBench.processCpuTime();
    start.await();
    long begun = System.nanoTime();
    for (Thread thread : running) {
      thread.join();
    }
    long wall = System.nanoTime() - begun;
    cpu = JvmBench.processCpuTime() - cpu;
    for (Connection connection : connections) {
      connection.close();
    }
    for (Exception failure : failures) {
      if (failure != null) {
        throw failure;
      }
    }
    return new BatchResult(latencies, wall, cpu);
  }

  static String[] negotiateHeaders(byte[][] tokens) {
    String[] headers = new String[tokens.length];
    for (int i = 0; i < tokens.length; ++i) {
      headers[i] = "Authorization: Negotiate " + Base64.getEncoder().encodeToString(tokens[i]) + "\r\n";
    }
    return headers;
  }

  static void http(boolean quick) throws Exception {
    // The server writes a response's headers and body apart: without this, Nagle's algorithm holds
    // the body until the client's delayed acknowledgement, 40 ms a request.
    System.setProperty("sun.net.httpserver.nodelay", "true");
    int n = quick ? 4 : 200;
    int warm = quick ? 0 : 2;
    int rounds = quick ? 1 : 9;
    int[] threadCounts = {1, 2, 4};
    JgssAuthenticator jgss = new JgssAuthenticator();
    // Sign-ons alone: the library's sessions off, as the baselines have none.
    try (NegotiateAuthenticator library = new NegotiateAuthenticator(Negotiator.builder().sessions(false).build());
        GssAuthenticator direct = new GssAuthenticator();
        Server libraryServer = new Server("quentrel NegotiateAuthenticator", library);
        Server jgssServer = new Server("JGSS authenticator", jgss);
        Server directServer = new Server("GSSAPI from C++", direct)) {
      Server[] servers = {libraryServer, jgssServer, directServer};
      // The JIT compiles each server's path (the JDK's HTTP server, JGSS) before any batch is timed:
      // the servers in turn, at each number of client threads, so that no server's batches are
      // timed while the JIT still compiles what an earlier one's warm-up asked for.
      for (int pass = 0; pass < (quick ? 1 : 6); ++pass) {
        for (Server server : servers) {
          requests(server.port(), threadCounts[pass % threadCounts.length], negotiateHeaders(tokens(SPNEGO, quick ? 2 : 600)));
        }
      }
      double[] oneThread = null;
      for (int threads : threadCounts) {
        // Per server: the wall time per sign-on of each measured batch, and every request's latency.
        double[][] perSignOn = new double[servers.length][rounds];
        double[][] cpuPerSignOn = new double[servers.length][rounds];
        double[][] serverCpu = new double[servers.length][rounds];
        List<List<Long>> latencies = new ArrayList<>();
        for (int s = 0; s < servers.length; ++s) {
          latencies.add(new ArrayList<>());
        }
        for (int round = -warm; round < rounds; ++round) {
          for (int k = 0; k < servers.length; ++k) {
            int s = (round & 1) == 0 ? k : servers.length - 1 - k;
            String[] headers = negotiateHeaders(tokens(SPNEGO, n));
            long serverBefore = servers[s].cpu();
            BatchResult result = requests(servers[s].port(), threads, headers);
            long serverSpent = servers[s].cpu() - serverBefore;
            if (round < 0) {
              continue;
            }
            perSignOn[s][round] = result.wall / (double) headers.length;
            cpuPerSignOn[s][round] = result.cpu / (double) headers.length;
            serverCpu[s][round] = serverSpent / (double) headers.length;
            for (long latency : result.latencies) {
              latencies.get(s).add(latency);
            }
          }
        }
        double[] time = new double[servers.length];
        double[] cpu = new double[servers.length];
        long[][] percentiles = new long[servers.length][];
        for (int s = 0; s < servers.length; ++s) {
          time[s] = JvmBench.median(perSignOn[s]);
          cpu[s] = JvmBench.median(cpuPerSignOn[s]);
          percentiles[s] = percentiles(latencies.get(s));
        }
        String label = "HTTP sign-on, " + threads + (threads == 1 ? " client thread" : " client threads");
        // The goals are of the CPU the process spends on a sign-on (client, HTTP server and
        // authenticator): what the machine's load leaves out of a comparison. The rates and
        // latencies are of the wall clock.
        for (int s = 1; s < servers.length; ++s) {
          JvmBench.row(label + ", CPU a sign-on", cpu[0], servers[s].name, cpu[s], s == 1 ? 0.8 : 1.05, "ns");
        }
        for (int s = 1; s < servers.length; ++s) {
          rateRow(label + ", sign-ons/s", time[0], servers[s].name, time[s], 0);
        }
        for (int s = 0; s < servers.length; ++s) {
          JvmBench.rateRow("HTTP, " + servers[s].name, threads, time[s], JvmBench.median(serverCpu[s]),
              percentiles[s][0], percentiles[s][1]);
        }
        if (oneThread == null) {
          oneThread = time;
        } else {
          JvmBench.rowAtLeast(label + ", total vs 1 thread", time[0], "1 thread", oneThread[0], 0.9, "ns");
        }
      }
      pages(quick, libraryServer, jgssServer);
    } finally {
      jgss.dispose();
    }
  }

  /**
   * Pages of 20 requests after the first sign-on, on one keep-alive connection: with the library's
   * sessions (the default) each request carries the session cookie the sign-on set; without them,
   * and with the JGSS authenticator, each carries a fresh Kerberos token.
   */
  static void pages(boolean quick, Server withoutSessions, Server jgssServer) throws Exception {
    int page = 20;
    int n = quick ? page : 10 * page;
    int warm = quick ? 0 : 2;
    int rounds = quick ? 1 : 9;
    try (NegotiateAuthenticator library = new NegotiateAuthenticator(Negotiator.builder().build());
        Server withSessions = new Server("sessions", library)) {
      Server[] servers = {withSessions, withoutSessions, jgssServer};
      double[][] perRequest = new double[servers.length][rounds];
      for (int round = -warm; round < rounds; ++round) {
        for (int k = 0; k < servers.length; ++k) {
          int s = (round & 1) == 0 ? k : servers.length - 1 - k;
          String[] headers;
          if (s == 0) {
            // The first sign-on, untimed, sets the cookie every later request carries.
            String cookie;
            try (Connection first = new Connection(withSessions.port())) {
              int status = first.get(negotiateHeaders(tokens(SPNEGO, 1))[0]);
              if (status != 200 || first.cookie == null) {
                throw new IllegalStateException("the sign-on set no session cookie (" + status + ")");
              }
              cookie = first.cookie;
            }
            headers = new String[n];
            Arrays.fill(headers, "Cookie: " + cookie + "\r\n");
          } else {
            headers = negotiateHeaders(tokens(SPNEGO, n));
          }
          BatchResult result = requests(servers[s].port(), 1, headers);
          if (round >= 0) {
            perRequest[s][round] = result.wall / (double) n;
          }
        }
      }
      double[] time = new double[servers.length];
      for (int s = 0; s < servers.length; ++s) {
        time[s] = JvmBench.median(perRequest[s]);
      }
      String label = "Page of " + page + " requests after the sign-on, requests/s";
      rateRow(label + ", sessions", time[0], "no sessions", time[1], 0);
      rateRow(label + ", sessions", time[0], "JGSS authenticator", time[2], 0);
    }
  }

  /** p50 and p99 of a list of latencies. */
  static long[] percentiles(List<Long> values) {
    long[] sorted = values.stream().mapToLong(Long::longValue).toArray();
    Arrays.sort(sorted);
    if (sorted.length == 0) {
      return new long[] {0, 0};
    }
    return new long[] {sorted[sorted.length / 2], sorted[Math.min(sorted.length - 1, (int) (sorted.length * 0.99))]};
  }

  /**
   * A throughput row: sign-ons per second beside the baseline's; the ratio is of the times per
   * sign-on (measured over baseline), to be at most `atMost`.
   */
  static void rateRow(String figure, double time, String baselineName, double baselineTime, double atMost) {
    double ratio = time / baselineTime;
    JvmBench.table.add(new String[] {figure, rate(time), baselineName + " " + rate(baselineTime),
        String.format(Locale.ROOT, "%.2f", ratio), atMost == 0 ? "-" : String.format(Locale.ROOT, "<= %.2f", atMost),
        atMost == 0 ? "" : ratio <= atMost ? "met" : "NOT met"});
  }

  static String rate(double nanosPerSignOn) {
    return String.format(Locale.ROOT, "%,.0f/s", 1e9 / nanosPerSignOn);
  }
}
