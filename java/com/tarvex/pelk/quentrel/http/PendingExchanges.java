package com.tarvex.pelk.quentrel.http;

import com.tarvex.pelk.quentrel.ServerContext;
import java.lang.System.Logger.Level;
import java.net.Inet6Address;
import java.net.InetAddress;
import java.net.UnknownHostException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;

/**
 * The exchanges waiting for a client's next leg, each under its connection's key. Bounded for
 * each client address (a client at its bound loses its own oldest waiting exchange, never
 * another client's) and in all (a new exchange that would wait is then refused with a
 * Retry-After). An IPv6 client counts by its /64 network, which one host commonly holds whole.
 * Every context that leaves the table is released here, unless {@link #take} hands it back.
 */
final class PendingExchanges {
  private final int maxPending;
  private final int maxPerPeer;
  private final long timeoutNanos;
  private final LogLines log;
  // Waiting exchanges by connection, oldest first, and the connections of each peer, oldest first.
  private final LinkedHashMap<Object, Pending> pending = new LinkedHashMap<>();
  private final HashMap<Object, ArrayDeque<Object>> byPeer = new HashMap<>();
  private boolean closed;
  private ScheduledExecutorService sweeper;

  private static final class Pending {
    final ServerContext context;
    final long deadline;
    final Object peer;

    Pending(ServerContext context, long deadline, Object peer) {
      this.context = context;
      this.deadline = deadline;
      this.peer = peer;
    }
  }

  PendingExchanges(int maxPending, int maxPerPeer, long timeoutNanos, LogLines log) {
    this.maxPending = maxPending;
    this.maxPerPeer = maxPerPeer;
    this.timeoutNanos = timeoutNanos;
    this.log = log;
  }

  synchronized int count() {
    return pending.size();
  }

  // The key a client's waiting exchanges count under: its address, or its /64 for IPv6.
  static Object peerKey(String peer) {
    if (peer.indexOf(':') >= 0) {
      try {
        // A literal with a colon is never looked up in DNS.
        InetAddress address = InetAddress.getByName(peer);
        if (address instanceof Inet6Address) {
          return "net " + Arrays.toString(Arrays.copyOf(address.getAddress(), 8));
        }
        return address.getHostAddress();
      } catch (UnknownHostException | SecurityException notAnAddress) {
        return peer;
      }
    }
    return peer;
  }

  /** The context waiting for a connection's next leg, now the caller's; null for none. */
  synchronized ServerContext take(Object connection) {
    Pending waiting = pending.remove(connection);
    if (waiting == null) {
      return null;
    }
    forget(connection, waiting.peer);
    return waiting.context;
  }

  // Under the lock: the connection no longer counts for its peer.
  private void forget(Object connection, Object peer) {
    ArrayDeque<Object> connections = byPeer.get(peer);
    if (connections != null) {
      connections.remove(connection);
      if (connections.isEmpty()) {
        byPeer.remove(peer);
      }
    }
  }

  /**
   * Keeps a context waiting for the connection's next leg. Returns 0, or, when the table is full
   * and the context was released, the seconds until the oldest waiting exchange times out.
   */
  int park(Object connection, Object peer, ServerContext context) {
    List<ServerContext> released = new ArrayList<>(2);
    int retryAfter = 0;
    synchronized (this) {
      // Two requests at once on one connection: the later exchange is the one that goes on.
      Pending same = pending.remove(connection);
      if (same != null) {
        forget(connection, same.peer);
        released.add(same.context);
      }
      ArrayDeque<Object> connections = byPeer.get(peer);
      if (closed) {
        released.add(context);
      } else if (connections != null && connections.size() >= maxPerPeer) {
        Object oldest = connections.pollFirst();
        released.add(pending.remove(oldest).context);
        connections.addLast(connection);
        pending.put(connection, new Pending(context, System.nanoTime() + timeoutNanos, peer));
        log.log("peer-bound", Level.INFO, "Negotiate: {0}: the client has {1} exchanges waiting; its oldest, on {2},"
            + " is dropped", connection, maxPerPeer, oldest);
      } else if (pending.size() >= maxPending) {
        released.add(context);
        long left = pending.values().iterator().next().deadline - System.nanoTime();
        retryAfter = (int) Math.max(1, Math.min(TimeUnit.NANOSECONDS.toSeconds(left) + 1, Integer.MAX_VALUE));
        log.log("table-full", Level.WARNING, "Negotiate: {0}: {1} exchanges are waiting, the most there may be; this"
            + " one is refused with 503", connection, maxPending);
      } else {
        byPeer.computeIfAbsent(peer, p -> new ArrayDeque<>()).addLast(connection);
        pending.put(connection, new Pending(context, System.nanoTime() + timeoutNanos, peer));
      }
    }
    released.forEach(ServerContext::close);
    return retryAfter;
  }

  /** Releases the exchanges whose time limit has passed. */
  void sweep() {
    List<ServerContext> expired = new ArrayList<>();
    long now = System.nanoTime();
    synchronized (this) {
      // Oldest first, all with the same time limit: the first one still in time ends the sweep.
      for (Iterator<Map.Entry<Object, Pending>> it = pending.entrySet().iterator(); it.hasNext(); ) {
        Map.Entry<Object, Pending> entry = it.next();
        if (entry.getValue().deadline - now > 0) {
          break;
        }
        it.remove();
        forget(entry.getKey(), entry.getValue().peer);
        expired.add(entry.getValue().context);
        log.log("timed-out", Level.DEBUG, "Negotiate: {0}: the client did not come back in time; the exchange is"
            + " dropped", entry.getKey());
      }
    }
    expired.forEach(ServerContext::close);
  }

  /** Sweeps the table every period, in a daemon thread of its own, and runs `also` after each sweep. */
  synchronized void sweepEvery(long periodMillis, Runnable also) {
    sweeper = Executors.newSingleThreadScheduledExecutor(run -> {
      Thread thread = new Thread(run, "quentrel-negotiate-sweeper");
      thread.setDaemon(true);
      return thread;
    });
    sweeper.scheduleWithFixedDelay(() -> {
      sweep();
      also.run();
    }, periodMillis, periodMillis, TimeUnit.MILLISECONDS);
  }

  /**
   * Releases every waiting exchange and stops the sweeps; contexts parked from now on are released
   * at once.
   */
  void close() {
    List<Pending> all;
    synchronized (this) {
      closed = true;
      if (sweeper != null) {
        sweeper.shutdownNow();
      }
      all = new ArrayList<>(pending.values());
      pending.clear();
      byPeer.clear();
    }
    all.forEach(p -> p.context.close());
  }
}
