import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import com.sun.jna.Structure;
import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.CyclicBarrier;

/**
 * The library's cost measured from a real JVM, each figure beside its baseline in the same run:
 * batches of the cases being compared alternate, and each figure is the median of its batches.
 * Prints one table: figure, measured, baseline, ratio, goal.
 *
 * <p>Baselines: an empty static native method of a tiny library built for the benchmark; the
 * package's own EncryptMessage and DecryptMessage called from C++ on the very contexts the library
 * holds; memcpy of the same sizes; and a peer binding of the same platform functions through JNA,
 * as JNA-based Java authentication libraries call them.
 *
 * <p>The word kerberos runs instead the figures of the system world, inside a Kerberos realm:
 * Wrap and Unwrap against gss_wrap_iov and gss_unwrap_iov called on the GSSAPI contexts behind the
 * library's own, and a whole authentication against the same GSSAPI calls made directly. The word
 * domain runs, beside an Active Directory domain controller, a sign-on whose token comes from the
 * ticket's PAC (a membership test answered from it) against the same sign-on to a service whose
 * tickets carry no PAC.
 *
 * <p>The word signon runs server sign-ons on the system world, inside a Kerberos realm, through
 * the acceptor alone and through the JDK's HTTP server (see {@link SignOnBench}). The word frozen
 * runs, beside the domain controller, sign-ons while the controller is stopped and one call waits
 * on it, and the word slow a member host's lookups while the controller runs a fifth of the time
 * (see {@link FrozenController}).
 *
 * <p>{@code --quick} runs every case a few times only, to show that the benchmark works; the words
 * queries, live, messages and threads run only those parts.
 */
public final class JvmBench {
  private static final int ISC_REQ_CONFIDENTIALITY = 0x10;
  private static final int ISC_RET_CONFIDENTIALITY = 0x10;
  private static final int SECPKG_ATTR_SIZES = 0;
  private static final int SECBUFFER_VERSION = 0;
  private static final int SECBUFFER_DATA = 1;
  private static final int SECBUFFER_TOKEN = 2;
  private static final int SECBUFFER_PADDING = 9;
  private static final int SECBUFFER_STREAM = 10;
  private static final int KIB = 1024;
  private static final int MIB = 1024 * 1024;

  static native void empty();

  private static native void clearJournalNative();

  /** Whether the library runs its test build, whose journal a batch starts empty. */
  private static boolean journalled = true;

  static void clearJournal() {
    if (journalled) {
      clearJournalNative();
    }
  }

  static native long contextAddress(int handle);

  static native void acceptWithGssapi(boolean gssapi);

  static native int packageRounds(int client, int server, int size, int rounds);

  static native int copyRounds(int size, int rounds);

  static native long gssContext(int handle);

  static native int[] gssWrapLengths(long context, int size);

  static native byte[] gssWrap(long context, int header, int padding, byte[] message);

  static native byte[] gssUnwrap(long context, byte[] wrapped);

  static native int gssAuthentications(String service, int rounds, boolean evidence);

  static native long gssAcceptor(boolean spnego);

  static native void gssReleaseAcceptor(long credential);

  static native int gssSignOns(long credential, byte[][] tokens, int from, int count);

  static native byte[][] gssSignOn(long credential, byte[] token);

  static native long processCpuTime();

  static native int nssLookups(String[] names, int rounds);

  private static final String KERBEROS_SERVICE = "HTTP/localhost";
  // In the test domain: tickets for the back end carry no PAC (bench/jvm/without-pac.sh).
  private static final String NO_PAC_SERVICE = "HTTP/backend." + System.getenv("AD_DNS_DOMAIN");

  // Single-threaded figures are timed in the CPU time of the measuring thread, so that the time the
  // thread spends waiting for a processor on a shared machine is left out; figures of several
  // threads are timed on the wall clock, as their total throughput is what they measure.
  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

  static long now() {
    return THREADS.getCurrentThreadCpuTime();
  }

  private static boolean quick;
  private static int rounds;
  static volatile long sink;
  static final List<String[]> table = new ArrayList<>();

  private JvmBench() {}

  public static void main(String[] args) throws Exception {
    quick = Arrays.asList(args).contains("--quick");
    rounds = quick ? 1 : 9;
    List<String> only = new ArrayList<>(Arrays.asList(args));
    only.remove("--quick");
    boolean signOn = only.contains("signon");
    boolean slow = only.contains("slow");
    boolean frozen = slow || only.contains("frozen");
    boolean domain = frozen || only.contains("domain");
    boolean kerberos = signOn || domain || only.contains("kerberos");
    // The sign-on figures run the shipped build, which keeps no journal.
    journalled = !signOn;
    if (signOn) {
      // The JDK's Kerberos reads the realm's configuration and, as a client, the ticket cache.
      System.setProperty("java.security.krb5.conf", System.getenv("KRB5_CONFIG"));
      System.setProperty("javax.security.auth.useSubjectCredsOnly", "false");
    }
    // The library first, so that the benchmark's own natives bind to the copy the JVM loaded.
    Pair first = kerberos ? Pair.establish("Kerberos", KERBEROS_SERVICE) : Pair.establish();
    SSPI.GetMaxTokenSize(first.client);
    first.free();
    System.loadLibrary("quentrel_jvmbench");
    clearJournal();

    if (signOn) {
      SignOnBench.run(quick, only);
      print();
      return;
    }
    if (slow) {
      FrozenController.slowController(quick);
      print();
      return;
    }
    if (frozen) {
      FrozenController.run(quick);
      print();
      return;
    }
    if (domain) {
      domain();
      print();
      return;
    }
    if (kerberos) {
      kerberos();
      print();
      return;
    }
    if (only.isEmpty() || only.contains("queries")) {
      queries();
    }
    if (only.isEmpty() || only.contains("live")) {
      liveContexts();
    }
    if (only.isEmpty() || only.contains("messages")) {
      messages();
    }
    if (only.isEmpty() || only.contains("threads")) {
      contention();
    }
    print();
  }

  // ---- measurement ---------------------------------------------------------------------------

  /** One batch of n operations of a case; returns something that depends on their results. */
  interface Batch {
    long run(int n) throws Exception;
  }

  /** Median nanoseconds per operation of each case, batches of the cases taken in turn. */
  static double[] compare(int n, Batch... cases) throws Exception {
    return compare(false, n, cases);
  }

  static double[] compare(boolean wallClock, int n, Batch... cases) throws Exception {
    int size = quick ? 2 : n;
    for (Batch batch : cases) {
      for (int warm = 0; warm < (quick ? 1 : 3); ++warm) {
        clearJournal();
        sink += batch.run(size);
      }
    }
    double[][] times = new double[cases.length][rounds];
    for (int round = 0; round < rounds; ++round) {
      for (int k = 0; k < cases.length; ++k) {
        int c = round % 2 == 0 ? k : cases.length - 1 - k;
        clearJournal();
        long start = wallClock ? System.nanoTime() : now();
        sink += cases[c].run(size);
        times[c][round] = ((wallClock ? System.nanoTime() : now()) - start) / (double) size;
      }
    }
    double[] medians = new double[cases.length];
    for (int c = 0; c < cases.length; ++c) {
      medians[c] = median(times[c]);
    }
    return medians;
  }

  static double median(double[] values) {
    double[] sorted = values.clone();
    Arrays.sort(sorted);
    int middle = sorted.length / 2;
    return sorted.length % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
  }

  /** A row whose ratio is measured / baseline, to be at most `atMost` (0: no goal). */
  static void row(String figure, double measured, String baselineName, double baseline, double atMost, String unit) {
    double ratio = measured / baseline;
    String goal = atMost == 0 ? "-" : String.format(Locale.ROOT, "<= %.2f", atMost);
    String met = atMost == 0 ? "" : ratio <= atMost ? "met" : "NOT met";
    table.add(new String[] {figure, format(measured, unit), baselineName + " " + format(baseline, unit),
        String.format(Locale.ROOT, "%.2f", ratio), goal, met});
  }

  /** A row of times whose ratio is baseline / measured (a throughput ratio), to be at least `atLeast` (0: no goal). */
  static void rowAtLeast(String figure, double measured, String baselineName, double baseline, double atLeast,
      String unit) {
    double ratio = baseline / measured;
    String goal = atLeast == 0 ? "-" : String.format(Locale.ROOT, ">= %.2f", atLeast);
    String met = atLeast == 0 ? "" : ratio >= atLeast ? "met" : "NOT met";
    table.add(new String[] {figure, format(measured, unit), baselineName + " " + format(baseline, unit),
        String.format(Locale.ROOT, "%.2f", ratio), goal, met});
  }

  /** A row of a difference against a bound in microseconds. */
  static void rowDifference(String figure, double measured, String baselineName, double baseline, double bound) {
    double difference = (measured - baseline) / 1000;
    table.add(new String[] {figure, format(measured, "ns"), baselineName + " " + format(baseline, "ns"),
        String.format(Locale.ROOT, "%+.2f us", difference), String.format(Locale.ROOT, "<= +%.2f us", bound),
        difference <= bound ? "met" : "NOT met"});
  }

  static String format(double value, String unit) {
    if (unit.equals("ns")) {
      return value >= 10000 ? String.format(Locale.ROOT, "%.1f us", value / 1000)
          : String.format(Locale.ROOT, "%.1f ns", value);
    }
    return String.format(Locale.ROOT, "%.2f %s", value, unit);
  }

  /**
   * Rows of the rates table: a contender's sign-ons at a number of threads, per second, per core
   * (the rate over min(threads, cores)), the CPU a sign-on of the threads that sign on (through
   * HTTP, the server's), and latency percentiles.
   */
  static final List<String[]> rates = new ArrayList<>();

  static final int CORES = Runtime.getRuntime().availableProcessors();

  /** A row of the rates table; `cpu` and the latencies in ns, `wall` the wall time per sign-on in ns. */
  static void rateRow(String contender, int threads, double wall, double cpu, long p50, long p99) {
    double perSecond = 1e9 / wall;
    rates.add(new String[] {contender, Integer.toString(threads), String.format(Locale.ROOT, "%,.0f", perSecond),
        String.format(Locale.ROOT, "%,.0f", perSecond / Math.min(threads, CORES)), format(cpu, "ns"),
        format(p50, "ns"), format(p99, "ns")});
  }

  static void print() {
    printTable(new String[] {"figure", "measured", "baseline", "ratio", "goal", ""}, table);
    if (!rates.isEmpty()) {
      System.out.println();
      printTable(new String[] {"sign-ons of", "threads", "per second", "per core (" + CORES + " cores)",
          "CPU a sign-on (its threads)", "p50", "p99"}, rates);
    }
    System.out.println(quick ? "quick run: the figures mean nothing"
        : "medians of " + rounds + " alternating batches; CPU time of the measuring thread, wall clock for threads");
  }

  private static void printTable(String[] header, List<String[]> rows) {
    int[] widths = new int[header.length];
    List<String[]> all = new ArrayList<>();
    all.add(header);
    all.addAll(rows);
    for (String[] line : all) {
      for (int i = 0; i < line.length; ++i) {
        widths[i] = Math.max(widths[i], line[i].length());
      }
    }
    for (String[] line : all) {
      StringBuilder text = new StringBuilder("|");
      for (int i = 0; i < line.length; ++i) {
        text.append(' ').append(String.format("%-" + widths[i] + "s", line[i])).append(" |");
      }
      System.out.println(text);
      if (line == header) {
        StringBuilder rule = new StringBuilder("|");
        for (int width : widths) {
          rule.append(' ').append("-".repeat(width)).append(" |");
        }
        System.out.println(rule);
      }
    }
  }

  // ---- contexts ------------------------------------------------------------------------------

  /** A client and a server context authenticated to each other, confidentiality negotiated. */
  static final class Pair {
    final int client;
    final int server;

    private Pair(int client, int server) {
      this.client = client;
      this.server = server;
    }

    static Pair establish() throws WinAuthException {
      return establish("Negotiate", null);
    }

    static Pair establish(String packageName, String target) throws WinAuthException {
      int server = SSPI.CreateContext(false, 0, packageName, null);
      int client = SSPI.CreateContext(true, ISC_REQ_CONFIDENTIALITY, packageName, target);
      byte[] toServer = SSPI.GetChallengeToken(client);
      while (!SSPI.Accept(server, toServer)) {
        SSPI.Initialize(client, SSPI.GetChallengeToken(server));
        toServer = SSPI.GetChallengeToken(client);
      }
      if ((SSPI.GetNegotiatedAttributes(client) & ISC_RET_CONFIDENTIALITY) == 0) {
        throw new IllegalStateException("confidentiality was not negotiated");
      }
      return new Pair(client, server);
    }

    void free() {
      SSPI.FreeHandle(client);
      SSPI.FreeHandle(server);
    }
  }

  static byte[] message(int size) {
    byte[] message = new byte[size];
    for (int i = 0; i < size; ++i) {
      message[i] = (byte) (i * 31 + 7);
    }
    return message;
  }

  /** Wrap on the client, Unwrap on the server, n times; checks the message came back whole. */
  static long libraryRounds(Pair pair, byte[] message, int n) throws WinAuthException {
    long sum = 0;
    for (int i = 0; i < n; ++i) {
      byte[] plain = SSPI.Unwrap(pair.server, SSPI.Wrap(pair.client, message));
      if (plain.length != message.length) {
        throw new IllegalStateException("the message did not come back");
      }
      sum += plain[plain.length - 1];
    }
    return sum;
  }

  // ---- the figures ---------------------------------------------------------------------------

  static void queries() throws Exception {
    Pair pair = Pair.establish();
    Peer peer = Peer.load();
    Pointer context = new Pointer(contextAddress(pair.client));
    double[] t = compare(200_000, n -> {
      long sum = 0;
      for (int i = 0; i < n; ++i) {
        sum += SSPI.GetMaxTokenSize(pair.client);
      }
      return sum;
    }, n -> {
      for (int i = 0; i < n; ++i) {
        empty();
      }
      return n;
    }, n -> {
      long sum = 0;
      for (int i = 0; i < n; ++i) {
        sum += peer.maxTokenSize(context);
      }
      return sum;
    });
    row("GetMaxTokenSize", t[0], "empty native", t[1], 2.0, "ns");
    row("JNA QueryContextAttributesW(SIZES)", t[2], "GetMaxTokenSize", t[0], 0, "ns");
    pair.free();
  }

  /** Handle lookup, creation and release with one live context and with 10,000. */
  static void liveContexts() throws Exception {
    int live = quick ? 100 : 10_000;
    int frees = quick ? 2 : 1000;
    double[][] one = new double[2][rounds];
    double[][] many = new double[4][rounds];
    for (int round = 0; round < rounds; ++round) {
      for (int phase = 0; phase < 2; ++phase) {
        boolean crowded = (phase == 1) == (round % 2 == 0);
        ArrayDeque<Integer> others = new ArrayDeque<>();
        if (crowded) {
          for (int i = 1; i < live; ++i) {
            others.add(SSPI.CreateContext(false, 0, "Negotiate", null));
          }
        }
        Pair pair = Pair.establish();
        SSPI.FreeHandle(pair.server);
        double[] times = compareOnce(200_000, 20_000, pair.client);
        if (!crowded) {
          one[0][round] = times[0];
          one[1][round] = times[1];
        } else {
          many[0][round] = times[0];
          many[1][round] = times[1];
          // The newest `frees` contexts freed newest first, then the oldest `frees`, the table
          // holding `live` contexts throughout.
          int[] newest = new int[frees];
          for (int i = 0; i < frees; ++i) {
            newest[i] = SSPI.CreateContext(false, 0, "Negotiate", null);
          }
          clearJournal();
          long start = now();
          for (int i = frees - 1; i >= 0; --i) {
            SSPI.FreeHandle(newest[i]);
          }
          many[2][round] = (now() - start) / (double) frees;
          for (int i = 0; i < frees; ++i) {
            others.add(SSPI.CreateContext(false, 0, "Negotiate", null));
          }
          int[] oldest = new int[frees];
          for (int i = 0; i < frees; ++i) {
            oldest[i] = others.poll();
          }
          clearJournal();
          start = now();
          for (int i = 0; i < frees; ++i) {
            SSPI.FreeHandle(oldest[i]);
          }
          many[3][round] = (now() - start) / (double) frees;
        }
        SSPI.FreeHandle(pair.client);
        for (int handle : others) {
          SSPI.FreeHandle(handle);
        }
        clearJournal();
      }
    }
    String crowd = String.format(Locale.ROOT, "%,d live", live);
    row("GetMaxTokenSize, newest of " + crowd, median(many[0]), "1 live", median(one[0]), 2.0, "ns");
    row("CreateContext+FreeHandle (server), " + crowd, median(many[1]), "1 live", median(one[1]), 1.5, "ns");
    row("FreeHandle of the oldest of " + crowd, median(many[3]), "the newest", median(many[2]), 2.0, "ns");
  }

  /** One batch each of GetMaxTokenSize and of a server context's creation and release. */
  static double[] compareOnce(int queries, int creations, int handle) throws Exception {
    queries = quick ? 2 : queries;
    creations = quick ? 2 : creations;
    long sum = 0;
    for (int i = 0; i < queries; ++i) {
      sum += SSPI.GetMaxTokenSize(handle);
    }
    long start = now();
    for (int i = 0; i < queries; ++i) {
      sum += SSPI.GetMaxTokenSize(handle);
    }
    double query = (now() - start) / (double) queries;
    clearJournal();
    start = now();
    for (int i = 0; i < creations; ++i) {
      SSPI.FreeHandle(SSPI.CreateContext(false, 0, "Negotiate", null));
    }
    double creation = (now() - start) / (double) creations;
    sink += sum;
    return new double[] {query, creation};
  }

  static void messages() throws Exception {
    Pair pair = Pair.establish();
    Peer peer = Peer.load();
    Peer.Side client = peer.side(pair.client);
    Peer.Side server = peer.side(pair.server);
    for (int size : new int[] {KIB, 64 * KIB, MIB}) {
      byte[] message = message(size);
      int n = Math.max(4, 4 * MIB / size);
      double[] t = compare(Math.min(n, 4000), batch -> libraryRounds(pair, message, batch),
          batch -> packageRounds(pair.client, pair.server, size, batch),
          batch -> copyRounds(size, batch),
          batch -> {
            long sum = 0;
            for (int i = 0; i < batch; ++i) {
              byte[] plain = server.unwrap(client.wrap(message));
              sum += plain[plain.length - 1];
            }
            return sum;
          });
      String label = size >= MIB ? size / MIB + " MiB" : size / KIB + " KiB";
      if (size == KIB) {
        rowDifference("Wrap+Unwrap " + label + ", library's own cost", t[0], "package from C++", t[1], 0.5);
      } else {
        rowAtLeast("Wrap+Unwrap " + label + ", throughput vs the package", t[0], "package from C++", t[1], 0.95, "ns");
      }
      row("Wrap+Unwrap " + label + ", library's own cost in memcpys", t[0] - t[1], "memcpy", t[2], 0, "ns");
      row("JNA peer, Encrypt+DecryptMessage " + label, t[3], "library", t[0], 0, "ns");
    }
    pair.free();
  }

  /**
   * The system world's Kerberos: Wrap+Unwrap against GSSAPI's wrap and unwrap of separate buffers
   * on the same contexts, each message through one JNI call per side with the Java-array copies a
   * Java binding of GSSAPI needs (the message read in, the token written out whole, the token read
   * in, the message written out); and a whole authentication against GSSAPI's calls made from C++.
   */
  static void kerberos() throws Exception {
    // GSSAPI's calls need GSSAPI's contexts on both sides: the server's is accepted by GSSAPI here.
    acceptWithGssapi(true);
    Pair pair = Pair.establish("Kerberos", KERBEROS_SERVICE);
    acceptWithGssapi(false);
    Pair direct = Pair.establish("Kerberos", KERBEROS_SERVICE);
    long client = gssContext(pair.client);
    long server = gssContext(pair.server);
    if (client == 0 || server == 0) {
      throw new IllegalStateException("no GSSAPI context behind the library's: not the system world?");
    }
    for (int size : new int[] {KIB, 64 * KIB}) {
      byte[] message = message(size);
      int[] lengths = gssWrapLengths(client, size);
      // The library's token, opened by GSSAPI, and GSSAPI's, opened by the library: the same tokens.
      if (!Arrays.equals(gssUnwrap(server, SSPI.Wrap(pair.client, message)), message)
          || !Arrays.equals(SSPI.Unwrap(pair.server, gssWrap(client, lengths[0], lengths[1], message)), message)) {
        throw new IllegalStateException("the library and GSSAPI do not read each other's tokens");
      }
      double[] t = compare(size == KIB ? 4000 : 400, batch -> libraryRounds(pair, message, batch), batch -> {
        long sum = 0;
        for (int i = 0; i < batch; ++i) {
          byte[] plain = gssUnwrap(server, gssWrap(client, lengths[0], lengths[1], message));
          if (plain.length != message.length) {
            throw new IllegalStateException("the message did not come back");
          }
          sum += plain[plain.length - 1];
        }
        return sum;
      });
      String label = size / KIB + " KiB";
      rowAtLeast("Kerberos Wrap+Unwrap " + label + ", throughput vs GSSAPI", t[0], "gss_wrap_iov+gss_unwrap_iov", t[1],
          size == KIB ? 0 : 0.9, "ns");
      // The server's context accepted without GSSAPI protects its messages with tokens of its own.
      if (!Arrays.equals(SSPI.Unwrap(direct.server, SSPI.Wrap(direct.client, message)), message)) {
        throw new IllegalStateException("the library's own server context did not open the client's token");
      }
      double[] d = compare(size == KIB ? 4000 : 400, batch -> libraryRounds(direct, message, batch),
          batch -> libraryRounds(pair, message, batch));
      rowAtLeast("Kerberos Wrap+Unwrap " + label + ", server context of the library's own", d[0], "GSSAPI's", d[1],
          size == KIB ? 0 : 0.9, "ns");
    }
    pair.free();
    direct.free();
    kerberosThreads();

    double[] t = compare(quick ? 2 : 100, n -> {
      for (int i = 0; i < n; ++i) {
        Pair.establish("Kerberos", KERBEROS_SERVICE).free();
      }
      return n;
    }, n -> gssAuthentications(KERBEROS_SERVICE, n, true));
    row("Kerberos authentication, whole", t[0], "GSSAPI from C++", t[1], 1.2, "ns");
    // What keeping each client's ticket as evidence for constrained delegation costs MIT, which the
    // package does unless QUENTREL_DELEGATION says otherwise.
    double[] e = compare(quick ? 2 : 100, n -> gssAuthentications(KERBEROS_SERVICE, n, true),
        n -> gssAuthentications(KERBEROS_SERVICE, n, false));
    row("Kerberos authentication keeping evidence, GSSAPI", e[0], "without", e[1], 0, "ns");
  }

  /**
   * Kerberos Wrap+Unwrap of 64 KiB on two threads against one, each thread on contexts of its own:
   * the package seals and opens without any lock of the whole process, so two threads on two
   * processors do nearly twice the work of one.
   */
  static void kerberosThreads() throws Exception {
    Pair[] pairs = {Pair.establish("Kerberos", KERBEROS_SERVICE), Pair.establish("Kerberos", KERBEROS_SERVICE)};
    byte[] message = message(64 * KIB);
    Batch[] cases = new Batch[2];
    for (int c = 0; c < cases.length; ++c) {
      final int threads = c + 1;
      cases[c] = n -> inThreads(threads, n / threads, (thread, each) -> libraryRounds(pairs[thread], message, each));
    }
    double[] t = compare(true, 400, cases);
    rowAtLeast("Kerberos Wrap+Unwrap 64 KiB, 2 threads, total throughput", t[1], "1 thread", t[0], 0, "ns");
    for (Pair pair : pairs) {
      pair.free();
    }
  }

  /**
   * A sign-on as a server sees it: the whole authentication, then one membership test, which takes
   * the client's token. With the PAC the token is the ticket's own; without, it is the account krb5
   * maps the principal to. Either way no directory is asked. What the PAC adds is its decoding, the
   * token's groups and the client's Unix account under the domain's names (DOMAIN\\user, then
   * user@dns.domain, which a host without winbind or SSSD does not have): it is set against those
   * two NSS lookups made directly.
   */
  static void domain() throws Exception {
    if (!signOnAnswers(KERBEROS_SERVICE, true) || !signOnAnswers(NO_PAC_SERVICE, false)) {
      throw new IllegalStateException("the PAC's token did not answer for the domain's users, or the back end's did");
    }
    String[] domainNames = {System.getenv("AD_DOMAIN") + "\\alice", "alice@" + System.getenv("AD_DNS_DOMAIN")};
    double[] t = compare(quick ? 2 : 100, n -> signOns(KERBEROS_SERVICE, n), n -> signOns(NO_PAC_SERVICE, n),
        n -> gssAuthentications(KERBEROS_SERVICE, n, true), n -> gssAuthentications(NO_PAC_SERVICE, n, true),
        n -> nssLookups(domainNames, n));
    row("Kerberos sign-on with the PAC's groups, authentication + IsGroupMember", t[0], "the same without a PAC", t[1],
        0, "ns");
    row("GSSAPI authentication from C++ with a PAC", t[2], "without a PAC", t[3], 0, "ns");
    row("The PAC's extra per sign-on (with - without)", t[0] - t[1], "NSS lookups of DOMAIN\\alice, alice@dns", t[4],
        1.5, "ns");

    // A membership test of a domain group's name asked for before: the directories' cache answers
    // and no directory is asked; set against one of a built-in alias, which needs no lookup at all.
    String domainGroup = System.getenv("AD_DOMAIN") + "\\Engineers";
    int user = UserAuth.CreateUserContext(System.getenv("AD_DOMAIN") + "\\alice");
    try {
      if (!UserAuth.IsGroupMember(user, domainGroup) || !UserAuth.IsGroupMember(user, "BUILTIN\\Users")) {
        throw new IllegalStateException("the directory did not answer for alice's groups");
      }
      double[] m = compare(quick ? 2 : 20000, n -> memberships(user, domainGroup, n),
          n -> memberships(user, "BUILTIN\\Users", n));
      row("UserAuth.IsGroupMember of a domain group asked for before", m[0], "of BUILTIN\\Users", m[1], 1.5, "ns");
    } finally {
      UserAuth.FreeHandle(user);
    }
  }

  static long memberships(int user, String group, int n) throws Exception {
    long members = 0;
    for (int i = 0; i < n; ++i) {
      members += UserAuth.IsGroupMember(user, group) ? 1 : 0;
    }
    return members;
  }

  // Whether the client of a sign-on to `service` is in BUILTIN\Users, which the PAC's Domain Users
  // earns a domain user, and the principal's unmapped account does not.
  static boolean signOnAnswers(String service, boolean expected) throws Exception {
    Pair pair = Pair.establish("Kerberos", service);
    try {
      return SSPI.IsGroupMember(pair.server, "BUILTIN\\Users") == expected;
    } finally {
      pair.free();
    }
  }

  static long signOns(String service, int n) throws Exception {
    long members = 0;
    for (int i = 0; i < n; ++i) {
      Pair pair = Pair.establish("Kerberos", service);
      members += SSPI.IsGroupMember(pair.server, "BUILTIN\\Users") ? 1 : 0;
      pair.free();
    }
    return members;
  }

  /** Total throughput of 2 and 4 threads against one, each thread on contexts of its own. */
  static void contention() throws Exception {
    int[] counts = {1, 2, 4};
    Pair[] pairs = new Pair[4];
    for (int i = 0; i < pairs.length; ++i) {
      pairs[i] = Pair.establish();
    }
    byte[] message = message(KIB);
    String[] names = {"GetMaxTokenSize", "Wrap+Unwrap 1 KiB"};
    for (int kind = 0; kind < 2; ++kind) {
      final int which = kind;
      Batch[] cases = new Batch[counts.length];
      for (int c = 0; c < counts.length; ++c) {
        final int threads = counts[c];
        // Each case does the same total work, split between its threads; the time per operation
        // is the wall time over all of them.
        cases[c] = n -> inThreads(threads, n / threads, (thread, each) -> {
          Pair pair = pairs[thread];
          long sum = 0;
          if (which == 0) {
            for (int i = 0; i < each; ++i) {
              sum += SSPI.GetMaxTokenSize(pair.client);
            }
          } else {
            sum += libraryRounds(pair, message, each);
          }
          return sum;
        });
      }
      double[] t = compare(true, which == 0 ? 400_000 : 8000, cases);
      for (int c = 1; c < counts.length; ++c) {
        rowAtLeast(names[kind] + ", " + counts[c] + " threads, total throughput", t[c], "1 thread", t[0], 0.9, "ns");
      }
    }
    for (Pair pair : pairs) {
      pair.free();
    }
  }

  interface Work {
    long run(int thread, int n) throws Exception;
  }

  static long inThreads(int threads, int each, Work work) throws Exception {
    return inThreads(threads, each, work, () -> {});
  }

  /** {@link #inThreads(int, int, Work)}, `started` run once every thread is made, as they start. */
  static long inThreads(int threads, int each, Work work, Runnable started) throws Exception {
    if (threads == 1) {
      started.run();
      return work.run(0, each);
    }
    CyclicBarrier start = new CyclicBarrier(threads, started);
    long[] sums = new long[threads];
    Exception[] failures = new Exception[threads];
    Thread[] running = new Thread[threads];
    for (int t = 0; t < threads; ++t) {
      final int thread = t;
      running[t] = new Thread(() -> {
        try {
          start.await();
          sums[thread] = work.run(thread, each);
        } catch (Exception failure) {
          failures[thread] = failure;
        }
      });
      running[t].start();
    }
    long sum = 0;
    for (int t = 0; t < threads; ++t) {
      running[t].join();
      if (failures[t] != null) {
        throw failures[t];
      }
      sum += sums[t];
    }
    return sum;
  }

  // ---- the JNA peer --------------------------------------------------------------------------

  /** The platform's message functions bound through JNA, with JNA structures, as JNA libraries do. */
  static final class Peer {
    interface Platform extends Library {
      int EncryptMessage(Pointer context, int qop, SecBufferDesc message, int sequence);

      int DecryptMessage(Pointer context, SecBufferDesc message, int sequence, Pointer qop);

      int QueryContextAttributesW(Pointer context, int attribute, Sizes buffer);
    }

    @Structure.FieldOrder({"cbBuffer", "BufferType", "pvBuffer"})
    public static class SecBuffer extends Structure {
      public int cbBuffer;
      public int BufferType;
      public Pointer pvBuffer;
    }

    @Structure.FieldOrder({"ulVersion", "cBuffers", "pBuffers"})
    public static class SecBufferDesc extends Structure {
      public int ulVersion = SECBUFFER_VERSION;
      public int cBuffers;
      public Pointer pBuffers;
      private final SecBuffer[] buffers;

      SecBufferDesc(int count) {
        buffers = (SecBuffer[]) new SecBuffer().toArray(count);
        cBuffers = count;
        pBuffers = buffers[0].getPointer();
      }

      SecBuffer get(int index) {
        return buffers[index];
      }

      @Override
      public void write() {
        for (SecBuffer buffer : buffers) {
          buffer.write();
        }
        super.write();
      }

      @Override
      public void read() {
        super.read();
        for (SecBuffer buffer : buffers) {
          buffer.read();
        }
      }
    }

    @Structure.FieldOrder({"cbMaxToken", "cbMaxSignature", "cbBlockSize", "cbSecurityTrailer"})
    public static class Sizes extends Structure {
      public int cbMaxToken;
      public int cbMaxSignature;
      public int cbBlockSize;
      public int cbSecurityTrailer;
    }

    private final Platform platform;

    private Peer(Platform platform) {
      this.platform = platform;
    }

    static Peer load() {
      return new Peer(Native.load(System.getProperty("quentrel.bench.platform"), Platform.class));
    }

    int maxTokenSize(Pointer context) {
      Sizes sizes = new Sizes();
      int status = platform.QueryContextAttributesW(context, SECPKG_ATTR_SIZES, sizes);
      if (status != 0) {
        throw new IllegalStateException(String.format("QueryContextAttributesW: %08x", status));
      }
      return sizes.cbMaxToken;
    }

    Side side(int handle) {
      Pointer context = new Pointer(contextAddress(handle));
      Sizes sizes = new Sizes();
      platform.QueryContextAttributesW(context, SECPKG_ATTR_SIZES, sizes);
      return new Side(context, sizes);
    }

    /** One side of an established context. */
    final class Side {
      private final Pointer context;
      private final Sizes sizes;

      Side(Pointer context, Sizes sizes) {
        this.context = context;
        this.sizes = sizes;
      }

      byte[] wrap(byte[] message) {
        Memory token = new Memory(sizes.cbSecurityTrailer);
        Memory data = new Memory(Math.max(1, message.length));
        data.write(0, message, 0, message.length);
        Memory padding = sizes.cbBlockSize == 0 ? null : new Memory(sizes.cbBlockSize);
        SecBufferDesc descriptor = new SecBufferDesc(3);
        fill(descriptor.get(0), SECBUFFER_TOKEN, token, sizes.cbSecurityTrailer);
        fill(descriptor.get(1), SECBUFFER_DATA, data, message.length);
        fill(descriptor.get(2), SECBUFFER_PADDING, padding, sizes.cbBlockSize);
        int status = platform.EncryptMessage(context, 0, descriptor, 0);
        if (status != 0) {
          throw new IllegalStateException(String.format("EncryptMessage: %08x", status));
        }
        int total = 0;
        for (int i = 0; i < 3; ++i) {
          total += descriptor.get(i).pvBuffer == null ? 0 : descriptor.get(i).cbBuffer;
        }
        byte[] wrapped = new byte[total];
        int at = 0;
        for (int i = 0; i < 3; ++i) {
          SecBuffer part = descriptor.get(i);
          if (part.pvBuffer != null && part.cbBuffer > 0) {
            part.pvBuffer.read(0, wrapped, at, part.cbBuffer);
            at += part.cbBuffer;
          }
        }
        return wrapped;
      }

      byte[] unwrap(byte[] wrapped) {
        Memory stream = new Memory(Math.max(1, wrapped.length));
        stream.write(0, wrapped, 0, wrapped.length);
        SecBufferDesc descriptor = new SecBufferDesc(2);
        fill(descriptor.get(0), SECBUFFER_STREAM, stream, wrapped.length);
        fill(descriptor.get(1), SECBUFFER_DATA, null, 0);
        int status = platform.DecryptMessage(context, descriptor, 0, null);
        if (status != 0) {
          throw new IllegalStateException(String.format("DecryptMessage: %08x", status));
        }
        SecBuffer plain = descriptor.get(1);
        return plain.pvBuffer == null ? new byte[0] : plain.pvBuffer.getByteArray(0, plain.cbBuffer);
      }
    }

    static void fill(SecBuffer buffer, int type, Pointer memory, int size) {
      buffer.BufferType = type;
      buffer.pvBuffer = memory;
      buffer.cbBuffer = memory == null ? 0 : size;
    }
  }
}
