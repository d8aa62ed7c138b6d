package com.tarvex.pelk.quentrel;

/**
 * Windows integrated authentication through security contexts.
 *
 * <p>A context lives inside the native library and is named by an integer handle. A client context
 * produces the first token at creation; the Java side carries tokens between the peers, passing
 * each one received to {@link #Initialize} (client) or {@link #Accept} (server) and sending what
 * {@link #GetChallengeToken} returns, until the call returns true. The established context then
 * names its client, impersonates it, tests group membership and protects messages. Every context
 * must be released with {@link #FreeHandle}. All operations of this class run one after another.
 */
public final class SSPI {
  static {
    NativeLibrary.load();
  }

  private SSPI() {}

  /**
   * Creates a security context with credentials of the identity the process runs as. A client
   * context runs its first step at once, so its first token is ready for {@link
   * #GetChallengeToken}.
   *
   * @param client true for a client context, false for a server context
   * @param flags context requirement flags (ISC_REQ_ values) for every client step; ignored by a
   *     server context
   * @param packageName the security package, such as "Negotiate" or "Kerberos"; null or empty
   *     selects "Negotiate"
   * @param targetName the target (service principal) name of a client context; may be null or
   *     empty. A "Kerberos" client without one addresses its own account
   * @return the new context's handle; handles start at 2 and are never reused in a process
   * @throws WinAuthException "Platform error: xxxxxxxx" with the package's status when credentials
   *     or the first step fail (the handle number is then used up), or a clear message when the
   *     process has used every handle
   */
  public static native int CreateContext(boolean client, int flags, String packageName, String targetName)
      throws WinAuthException;

  /**
   * Runs the next client step with a token from the server.
   *
   * @param handle a client context in state negotiating
   * @param token the server's token; may be empty but not null
   * @return true when the context is established; false when the server must answer the token
   *     from {@link #GetChallengeToken}
   * @throws WinAuthException "Token cannot be null", "Invalid handle", "Wrong context type",
   *     "Invalid state", or "Platform error: xxxxxxxx" (the context is then in error)
   */
  public static native boolean Initialize(int handle, byte[] token) throws WinAuthException;

  /**
   * Runs the next server step with a token from the client.
   *
   * @param handle a server context in state initial or negotiating
   * @param token the client's token; neither null nor empty
   * @return true when the context is established; false when the client must answer the token
   *     from {@link #GetChallengeToken}. After true, {@link #GetChallengeToken} gives the final
   *     token for the client (needed when the client asked for mutual authentication), or a
   *     zero-length array when the final step produced none
   * @throws WinAuthException "Token cannot be null", "Invalid handle", "Wrong context type",
   *     "Invalid state", or "Platform error: xxxxxxxx" (the context is then in error)
   */
  public static native boolean Accept(int handle, byte[] token) throws WinAuthException;

  /**
   * Returns the token that the last step produced for the peer.
   *
   * @param handle any context
   * @return a new array with a copy of the token; zero-length when there is none, never null
   * @throws WinAuthException "Invalid handle"
   */
  public static native byte[] GetChallengeToken(int handle) throws WinAuthException;

  /**
   * Returns the context attributes the package negotiated.
   *
   * @param handle an established context
   * @return the attribute flags of the last step (ISC_RET_ or ASC_RET_ values)
   * @throws WinAuthException "Invalid handle" or "Invalid state" before the context is established
   */
  public static native int GetNegotiatedAttributes(int handle) throws WinAuthException;

  /**
   * Returns the package's maximum token size for the context.
   *
   * @param handle an established context
   * @return cbMaxToken of the context's sizes
   * @throws WinAuthException "Invalid handle" or "Invalid state" before the context is established
   */
  public static native int GetMaxTokenSize(int handle) throws WinAuthException;

  /**
   * Protects a message under the context's keys: encrypted when the context negotiated
   * confidentiality, signed otherwise.
   *
   * <p>The result is the package's security token, the protected data and the package's padding
   * laid end to end, with nothing added by this library; only the peer's package can take it
   * apart. A zero-length message is handed to the package like any other, so the result then
   * holds only the token (and any padding). When the package's security trailer is 0 bytes it is
   * given an empty token buffer; a package that cannot sign without one refuses with its status.
   *
   * @param handle an established context, client or server
   * @param message the plain message; not null, may be empty. It is never written to
   * @return a new array holding the protected message for the peer's {@link #Unwrap}
   * @throws WinAuthException "Message cannot be null" (before any other test), "Invalid handle",
   *     "Invalid state", or "Platform error: xxxxxxxx" with the package's status
   */
  public static native byte[] Wrap(int handle, byte[] message) throws WinAuthException;

  /**
   * Checks and decrypts a message the peer protected with {@link #Wrap}. The whole array goes to
   * the package, which finds the token, data and padding itself; a zero-length array too, which a
   * package refuses with its status. A refused message leaves the context established, and the
   * next good message unwraps.
   *
   * @param handle an established context, client or server
   * @param wrapped the protected message; not null. It is never written to
   * @return a new array holding the plain message; zero-length when the peer wrapped an empty one
   * @throws WinAuthException "Message cannot be null" (before any other test), "Invalid handle",
   *     "Invalid state", or "Platform error: xxxxxxxx" with the package's status for an altered,
   *     cut or foreign message
   */
  public static native byte[] Unwrap(int handle, byte[] wrapped) throws WinAuthException;

  /**
   * Returns the name of the client that authenticated to a server context, as its package names
   * it. A qualifier naming this computer (its DNS host name) or the built-in domain is dropped,
   * letter case of A to Z ignored, so a local account comes back as "name"; any other qualifier
   * is kept ("DOMAIN\\name"), and a name without one comes back as it is.
   *
   * <p>The name is for people and logs. Authorize on SIDs and groups ({@link #IsGroupMember}, or
   * the SID that {@link UserAuth#GetUserSID} gives), never on the name's text: names are compared
   * without regard to letter case, and two directories may spell one alike. On Linux a Kerberos
   * client is "DOMAIN\\user" when its realm has a domain name (the default realm's first label, or
   * one a setting gives) and "user@REALM" otherwise, so that two principals never share a name; a
   * principal that has no such name (malformed UTF-8, a control character) is refused at
   * {@link #Accept}.
   *
   * @param handle an established server context
   * @return the client's account name
   * @throws WinAuthException "Invalid handle", "Wrong context type" for a client context,
   *     "Invalid state" for a server not yet established, or "Platform error: xxxxxxxx" with the
   *     package's status
   */
  public static native String GetClientUserName(int handle) throws WinAuthException;

  /**
   * Makes the calling thread act as the context's client, through the client's access token,
   * until {@link #StopImpersonating}. Impersonation belongs to the thread that calls this, and the
   * context remembers which thread that is: only that thread is ever reverted on its account.
   *
   * <p>Nothing else inherits the impersonation. A child process started meanwhile runs as the
   * process, as on Windows, where a child gets the process's primary token (on Linux it starts
   * with the client's effective ids but keeps the process's real and saved ones, which it may take
   * back at will): never start one to act for the client. A thread started meanwhile is the
   * process's on Windows; on Linux it begins as the client, since the kernel gives every new thread
   * its creator's ids, and is returned to the process's identity at its first call into the
   * library.
   *
   * @param handle an established server context that is not impersonating
   * @throws WinAuthException "Invalid handle", "Wrong context type", "Invalid state", "Already
   *     impersonating" (the thread stays as it was), or "Platform error: xxxxxxxx" with the
   *     package's status or the Windows error code; after a failure the context is not
   *     impersonating
   */
  public static native void StartImpersonating(int handle) throws WinAuthException;

  /**
   * Ends the context's impersonation and marks the context as no longer impersonating. Called on
   * the thread that impersonates through the context, it returns that thread to its own identity.
   * Called on any other thread, it leaves the caller's identity alone: the impersonating thread
   * returns to its own identity at the start of its next call into the library (reverting it at
   * once, from outside, would change its identity in the middle of what it does for the client).
   * A thread that has since impersonated through another context stays as that one's client.
   *
   * @param handle an impersonating server context
   * @throws WinAuthException "Invalid handle", "Wrong context type", "Invalid state", "Not
   *     impersonating" when {@link #StartImpersonating} has not succeeded since the last stop, or
   *     "Platform error: xxxxxxxx" with the Windows error code, after which the context is still
   *     impersonating and the call may be repeated
   */
  public static native void StopImpersonating(int handle) throws WinAuthException;

  /**
   * Tells whether the context's client is a member of a group. Only groups and aliases are
   * accepted: a qualified name ("DOMAIN\\group") must be found in the domain it names, an
   * unqualified one in this computer's or the built-in domain; well-known groups such as Everyone
   * and user accounts are not groups here. The test is made against the client's access token,
   * or, on Windows Vista and later, against its linked token where the logon is split (an
   * administrator under user account control), so a group the filtered token holds for deny only
   * still counts.
   *
   * <p>The calling thread impersonates the client for the test and returns to its own identity,
   * even when it was impersonating through {@link #StartImpersonating}: it then no longer
   * impersonates, while the context still says so and {@link #StopImpersonating} still succeeds.
   * {@link ServerContext#isMember} takes such an impersonation up again for its scope.
   * If the platform refuses to return the thread to its own identity, the call throws
   * "Platform error: xxxxxxxx" with that error instead of answering, and the thread is still the
   * client's: the failure is never silent.
   *
   * @param handle an established server context
   * @param groupName the group, qualified or not; not null
   * @return true when the token holds the group as an enabled group
   * @throws GroupNotFoundException with an empty message when the name is no group by the rules
   *     above
   * @throws WinAuthException "Group name cannot be null" (before any other test), "Invalid
   *     handle", "Wrong context type", "Invalid state", or "Platform error: xxxxxxxx" with the
   *     package's status or the Windows error code
   */
  public static native boolean IsGroupMember(int handle, String groupName) throws WinAuthException;

  /**
   * Describes a context for people, in lines separated by a line feed (no carriage return, no
   * final line feed): "Type: " client or server; "State: " initial, negotiating, success, error or
   * unknown; "Impersonating: " true or false; "User name: " as the package gives it, domain
   * included, or "(unknown)"; "SSP package name: " and "SSP package comment: " where the package
   * gives them, or "SSP package: (unknown)"; "Context attributes: " followed by the names of the
   * negotiated attributes, each with a trailing blank; and, where the context has a client token,
   * "Token type: " primary or impersonation and "Impersonation level: " Anonymous,
   * Identification, Impersonation, Delegation or Unknown. A query that fails shows in the text
   * or leaves its line out; it is never thrown. Any context in any state may be described.
   *
   * @param handle any context
   * @return the report
   * @throws WinAuthException "Invalid handle"
   */
  public static native String GetContextInformation(int handle) throws WinAuthException;

  /**
   * Releases a context and forgets its handle. A handle that names nothing is ignored. Freeing a
   * server context that is impersonating on the calling thread returns that thread to its own
   * identity. Freeing it from any other thread (a {@link java.lang.ref.Cleaner}, another closer)
   * never changes the caller's identity: the thread that impersonates returns to its own identity
   * at the start of its next call into the library, before that call does anything else.
   *
   * <p>Only when the context was impersonating on the calling thread and the thread cannot be
   * returned to its own identity does the call throw: a {@link WinAuthException} "Platform error:
   * xxxxxxxx" (not declared, so that every caller that frees in a finally block compiles as
   * before); the context is released all the same, and the thread tries again at its next call.
   * Any call into the library by a thread that cannot take its own identity back throws that
   * error the same way and does nothing else.
   *
   * @param handle the context to release
   */
  public static native void FreeHandle(int handle);
}
