import com.tarvex.pelk.quentrel.SSPI;
import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.WinAuthException;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Sign-ons while the domain controller is frozen: clients whose tickets carry their PAC need no
 * controller, so one call that waits on a stopped controller must hold up no one else. Beside the
 * throwaway domain of tests/ad/with-domain.sh, two threads sign on (a whole Kerberos authentication
 * and a membership test answered by the PAC) for a while; then, the controller stopped with
 * SIGSTOP, one more call asks it something it does not know yet (a UserAuth lookup of an account,
 * or a sign-on's membership test of a group never asked for), while the two threads go on. The
 * rows are the sign-on rate while that call waited against the rate before, and how long the call
 * took to give up, against the bound the documentation states.
 */
final class FrozenController {
  static final String SERVICE = "HTTP/localhost";
  static final int SIGNING_THREADS = 2;
  static final double BOUND_SECONDS = 35;

  private FrozenController() {}

  static void run(boolean quick) throws Exception {
    String domain = System.getenv("AD_DOMAIN");
    String samba = System.getenv("AD_SAMBA_PID");
    if (domain == null || samba == null) {
      throw new IllegalStateException("run beside the throwaway domain: tests/ad/with-domain.sh");
    }
    // The service ticket is in the client's cache from the first sign-on on: no KDC is asked again;
    // the rest warms the JIT up.
    for (int i = 0; i < (quick ? 10 : 2000); ++i) {
      signOn();
    }
    long window = quick ? 500 : 4000;
    int server = establishedServer();
    try {
      measure("a sign-on's IsGroupMember of a group not yet known", samba, window,
          () -> outcome(() -> "member " + SSPI.IsGroupMember(server, domain + "\\Printers")));
    } finally {
      SSPI.FreeHandle(server);
    }
    measure("a UserAuth lookup of an account not yet known", samba, window,
        () -> outcome(() -> "SID " + UserAuth.GetUserSID(domain + "\\carol")));
  }

  static final int LOOKUP_THREADS = 4;
  static final String[] USERS = {"alice", "bob", "carol", "dave", "erin"};

  /**
   * A slow controller, as one starved of CPU by its load: stopped for 40 ms of every 50 ms, while
   * UserAuth makes contexts of the domain's users from one thread and then from four, with no
   * cache in between (run.sh slow), so that every one waits on the controller. Four threads go
   * faster than one only if no lookup waits for another's.
   */
  static void slowController(boolean quick) throws Exception {
    String domain = System.getenv("AD_DOMAIN");
    String samba = System.getenv("AD_SAMBA_PID");
    if (domain == null || samba == null) {
      throw new IllegalStateException("run beside the throwaway domain: tests/ad/with-domain.sh");
    }
    long window = quick ? 1000 : 6000;
    lookupRate(domain, 1, window / 4);  // the JIT and the first connections
    // The kill program, as signal() runs it (the shell's own takes no "--"); CONT last, whatever happens.
    String group = "-" + samba;
    Process starving = new ProcessBuilder("sh", "-c", "while :; do env kill -STOP -- " + group + "; sleep 0.04;"
        + " env kill -CONT -- " + group + "; sleep 0.01; done").inheritIO().start();
    double one;
    double many;
    try {
      one = lookupRate(domain, 1, window);
      many = lookupRate(domain, LOOKUP_THREADS, window);
    } finally {
      starving.destroy();
      starving.waitFor();
      signal("CONT", samba);
    }
    System.out.printf(java.util.Locale.ROOT, "the controller running 10 ms of every 50: user contexts %.1f/s on"
        + " 1 thread, %.1f/s on %d%n", one, many, LOOKUP_THREADS);
    JvmBench.rowAtLeast("User contexts/s on " + LOOKUP_THREADS + " threads, the controller slow, no cache", 1e9 / many,
        "1 thread", 1e9 / one, 2.0, "ns");
  }

  /** UserAuth contexts/s of the domain's users from `threads` threads for a window; a failure ends the run. */
  static double lookupRate(String domain, int threads, long windowMillis) throws Exception {
    AtomicLong count = new AtomicLong();
    AtomicBoolean stop = new AtomicBoolean();
    java.util.concurrent.atomic.AtomicReference<String> failure = new java.util.concurrent.atomic.AtomicReference<>();
    Thread[] workers = new Thread[threads];
    for (int t = 0; t < threads; ++t) {
      int first = t;
      workers[t] = new Thread(() -> {
        for (int i = first; !stop.get() && failure.get() == null; ++i) {
          try {
            UserAuth.FreeHandle(UserAuth.CreateUserContext(domain + "\\" + USERS[i % USERS.length]));
            count.incrementAndGet();
          } catch (WinAuthException e) {
            failure.set("a lookup failed: " + e);
          }
        }
      });
      workers[t].start();
    }
    long start = System.nanoTime();
    Thread.sleep(windowMillis);
    double rate = count.get() / ((System.nanoTime() - start) / 1e9);
    stop.set(true);
    for (Thread worker : workers) {
      worker.join();
    }
    if (failure.get() != null) {
      throw new IllegalStateException(failure.get());
    }
    return rate;
  }

  interface Call {
    String run() throws Exception;
  }

  static String outcome(Call call) {
    try {
      return call.run();
    } catch (WinAuthException e) {
      return e.getMessage();
    } catch (Exception e) {
      return e.toString();
    }
  }

  /** The sign-on rate before the controller stopped and while `waiting` waited on it; its time. */
  static void measure(String what, String samba, long windowMillis, java.util.function.Supplier<String> waiting)
      throws Exception {
    AtomicLong count = new AtomicLong();
    AtomicBoolean stop = new AtomicBoolean();
    Thread[] threads = new Thread[SIGNING_THREADS];
    for (int i = 0; i < threads.length; ++i) {
      threads[i] = new Thread(() -> {
        while (!stop.get()) {
          signOn();
          count.incrementAndGet();
        }
      });
      threads[i].start();
    }
    try {
      Thread.sleep(windowMillis / 4);  // the threads get going
      long start = System.nanoTime();
      long before = count.get();
      Thread.sleep(windowMillis);
      double rateBefore = (count.get() - before) / ((System.nanoTime() - start) / 1e9);

      signal("STOP", samba);
      String answer;
      double waited;
      double rateDuring;
      try {
        start = System.nanoTime();
        before = count.get();
        answer = waiting.get();
        waited = (System.nanoTime() - start) / 1e9;
        rateDuring = (count.get() - before) / waited;
      } finally {
        signal("CONT", samba);
      }
      System.out.printf(java.util.Locale.ROOT, "%s, the controller stopped: %s after %.1f s; sign-ons %.0f/s before,"
          + " %.0f/s meanwhile%n", what, answer, waited, rateBefore, rateDuring);
      JvmBench.rowAtLeast("Sign-ons/s on " + SIGNING_THREADS + " threads while " + what + " waits", 1e9 / rateDuring,
          "before the controller stopped", 1e9 / rateBefore, 0.9, "ns");
      JvmBench.row("Time " + what + " takes to give up, the controller stopped", waited, "the stated bound",
          BOUND_SECONDS, 1.0, "s");
    } finally {
      stop.set(true);
      for (Thread thread : threads) {
        thread.join();
      }
    }
  }

  /** A whole Kerberos sign-on with the PAC's groups; an exception ends the run. */
  static void signOn() {
    try {
      JvmBench.Pair pair = JvmBench.Pair.establish("Kerberos", SERVICE);
      try {
        if (!SSPI.IsGroupMember(pair.server, "BUILTIN\\Users")) {
          throw new IllegalStateException("the PAC did not answer for the client's groups");
        }
      } finally {
        pair.free();
      }
    } catch (WinAuthException e) {
      throw new IllegalStateException(e);
    }
  }

  static int establishedServer() throws WinAuthException {
    JvmBench.Pair pair = JvmBench.Pair.establish("Kerberos", SERVICE);
    SSPI.FreeHandle(pair.client);
    return pair.server;
  }

  /** The signal to the controller's whole process group (Samba's forked servers with it). */
  static void signal(String name, String samba) throws Exception {
    Process kill = new ProcessBuilder("kill", "-" + name, "--", "-" + samba).inheritIO().start();
    if (kill.waitFor() != 0) {
      throw new IllegalStateException("kill -" + name + " of the controller failed");
    }
  }
}
