package com.tarvex.pelk.quentrel;

import java.lang.ref.Cleaner;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;

/**
 * A security context that owns its native handle: {@link ServerContext} for the side that accepts
 * a client, {@link ClientContext} for the side that starts the exchange.
 *
 * <p>{@link #close} releases the handle; it may be called any number of times from any thread.
 * A context that becomes unreachable without being closed is released by a {@link Cleaner}, and
 * counted in {@link #cleanedCount()}: that is a safety net for a bug in the caller, and the count
 * says so, never a way to manage contexts. {@link #openCount()} is the number of contexts that
 * hold a handle now, so a leak shows.
 */
public abstract class SecurityContext implements AutoCloseable {
  private static final Cleaner CLEANER = Cleaner.create();
  private static final AtomicInteger OPEN = new AtomicInteger();
  private static final AtomicLong CLEANED = new AtomicLong();

  /** What one token step gave: the token for the peer (possibly empty) and whether this side is done. */
  public static final class Step {
    private final byte[] token;
    private final boolean complete;

    Step(byte[] token, boolean complete) {
      this.token = token;
      this.complete = complete;
    }

    /** The token to send to the peer; zero-length when there is none, never null. */
    public byte[] token() {
      return token.clone();
    }

    /** Whether this side's context is established. */
    public boolean complete() {
      return complete;
    }
  }

  // Shared by the context and its Cleaner action; it must not refer to the context itself.
  private static final class Release implements Runnable {
    final AtomicInteger handle;
    volatile boolean closedByOwner;

    Release(int handle) {
      this.handle = new AtomicInteger(handle);
    }

    @Override
    public void run() {
      int h = handle.getAndSet(0);
      if (h != 0) {
        if (!closedByOwner) {
          CLEANED.incrementAndGet();
        }
        // The library releases the context even when it then reports that the thread could not
        // stop impersonating, so the count follows the release, not the report.
        try {
          SSPI.FreeHandle(h);
        } finally {
          OPEN.decrementAndGet();
        }
      }
    }
  }

  private final Release release;
  private final Cleaner.Cleanable cleanable;
  private final String packageName;

  SecurityContext(int handle, String packageName) {
    this.packageName = packageName == null || packageName.isEmpty() ? "Negotiate" : packageName;
    this.release = new Release(handle);
    this.cleanable = CLEANER.register(this, release);
    OPEN.incrementAndGet();
  }

  /** The number of contexts of this process that hold a native handle now. */
  public static int openCount() {
    return OPEN.get();
  }

  /** The number of contexts released because they became unreachable without being closed. */
  public static long cleanedCount() {
    return CLEANED.get();
  }

  /** The security package the context was created with ("Negotiate" for none). */
  public String packageName() {
    return packageName;
  }

  /** Whether {@link #close} has released the context (or the Cleaner has). */
  public boolean isClosed() {
    return release.handle.get() == 0;
  }

  /**
   * The native handle, for the rare call the objects do not cover; valid until {@link #close}.
   *
   * @throws IllegalStateException when the context is closed
   */
  public int handle() {
    int h = release.handle.get();
    if (h == 0) {
      throw new IllegalStateException("the security context is closed");
    }
    return h;
  }

  /** Whether the context is established (its token exchange is over). */
  public boolean isEstablished() throws WinAuthException {
    try {
      SSPI.GetNegotiatedAttributes(handle());
      return true;
    } catch (WinAuthException e) {
      if ("Invalid state".equals(e.getMessage())) {
        return false;
      }
      throw e;
    }
  }

  /** The attributes the package negotiated (ISC_RET_ or ASC_RET_ flags); established contexts only. */
  public int negotiatedAttributes() throws WinAuthException {
    return SSPI.GetNegotiatedAttributes(handle());
  }

  /** The package's maximum token size; established contexts only. */
  public int maxTokenSize() throws WinAuthException {
    return SSPI.GetMaxTokenSize(handle());
  }

  /** Protects a message for the peer: encrypted when confidentiality was negotiated, signed otherwise. */
  public byte[] wrap(byte[] message) throws WinAuthException {
    return SSPI.Wrap(handle(), message);
  }

  /** Checks and decrypts a message the peer protected with {@link #wrap}. */
  public byte[] unwrap(byte[] wrapped) throws WinAuthException {
    return SSPI.Unwrap(handle(), wrapped);
  }

  /**
   * When the context's authentication ends (for Kerberos, the client's ticket); established
   * contexts only. {@link java.time.Instant#MAX} for one that never ends.
   */
  public java.time.Instant expiry() throws WinAuthException {
    long millis = Extensions.GetContextExpiry(handle());
    return millis == Long.MAX_VALUE ? java.time.Instant.MAX : java.time.Instant.ofEpochMilli(millis);
  }

  /** The context described for people, as {@link SSPI#GetContextInformation} gives it. */
  public String describe() throws WinAuthException {
    return SSPI.GetContextInformation(handle());
  }

  /** Releases the context. Idempotent and safe from any thread; later calls find it closed. */
  @Override
  public void close() {
    release.closedByOwner = true;
    cleanable.clean();
  }

  Step step(boolean complete) throws WinAuthException {
    return new Step(SSPI.GetChallengeToken(handle()), complete);
  }

  // A handle the caller never saw must not outlive a failure to wrap it in an object.
  static <T extends SecurityContext> T own(int handle, java.util.function.IntFunction<T> make) {
    try {
      return make.apply(handle);
    } catch (RuntimeException | Error e) {
      SSPI.FreeHandle(handle);
      throw e;
    }
  }
}
