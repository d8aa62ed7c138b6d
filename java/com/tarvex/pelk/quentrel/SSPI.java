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
   * Returns the name of the client that authenticated to a server context. A qualifier naming
   * this computer is dropped; any other domain is kept ("DOMAIN\\name").
   *
   * @param handle an established server context
   * @return the client's account name
   * @throws WinAuthException "Invalid handle", "Wrong context type", "Invalid state" or "Platform
   *     error: xxxxxxxx"
   */
  public static native String GetClientUserName(int handle) throws WinAuthException;

  /**
   * Makes the calling thread act as the context's client until {@link #StopImpersonating}.
   *
   * @param handle an established server context that is not impersonating
   * @throws WinAuthException "Invalid handle", "Wrong context type", "Invalid state", "Already
   *     impersonating" or "Platform error: xxxxxxxx"
   */
  public static native void StartImpersonating(int handle) throws WinAuthException;

  /**
   * Returns the calling thread to the process's own identity.
   *
   * @param handle an impersonating server context
   * @throws WinAuthException "Invalid handle", "Wrong context type", "Invalid state", "Not
   *     impersonating" or "Platform error: xxxxxxxx"
   */
  public static native void StopImpersonating(int handle) throws WinAuthException;

  /**
   * Tells whether the context's client is a member of a group.
   *
   * @param handle an established server context
   * @param groupName the group, qualified ("DOMAIN\\group") or not; not null
   * @return true when the client's token holds the group as an enabled group
   * @throws GroupNotFoundException when no group of that name exists (empty message)
   * @throws WinAuthException a message for a null name, "Invalid handle", "Wrong context type",
   *     "Invalid state" or "Platform error: xxxxxxxx"
   */
  public static native boolean IsGroupMember(int handle, String groupName) throws WinAuthException;

  /**
   * Describes a context for people: its kind, state, impersonation, peer, package, attributes and
   * token. A query the package refuses is shown in the text, not thrown.
   *
   * @param handle any context
   * @return lines separated by line feeds, without a final one
   * @throws WinAuthException "Invalid handle"
   */
  public static native String GetContextInformation(int handle) throws WinAuthException;

  /**
   * Releases a context and forgets its handle. A handle that names nothing is ignored.
   *
   * @param handle the context to release
   */
  public static native void FreeHandle(int handle);
}
