package com.tarvex.pelk.quentrel;

/**
 * Authorization of named Windows accounts without a logon: their SIDs, an authorization context
 * for an account, and membership tests against the groups captured in it. User contexts are named
 * by integer handles of their own and must be released with {@link #FreeHandle}.
 */
public final class UserAuth {
  static {
    NativeLibrary.load();
  }

  private UserAuth() {}

  /**
   * Captures the groups of an account in a new user context.
   *
   * @param accountName a qualified name, "DOMAIN\\name"; a name of this computer's own accounts
   *     without a qualifier is refused
   * @return the new user context's handle; handles start at 2 and are never reused in a process
   * @throws UserNotFoundException when no account has that name (empty message)
   * @throws WinAuthException "Local users not allowed" for an unqualified name, "Not initialized"
   *     when the library could not set up authorization at load, or "Platform error: xxxxxxxx"
   */
  public static native int CreateUserContext(String accountName) throws WinAuthException;

  /**
   * Releases a user context. A handle that names nothing is ignored.
   *
   * @param handle the user context to release
   */
  public static native void FreeHandle(int handle);

  /**
   * Returns the security identifier of an account, group or alias as text.
   *
   * @param accountName the name, qualified or not
   * @return the SID such as "S-1-5-32-544", or null when the name cannot be resolved
   */
  public static native String GetUserSID(String accountName);

  /**
   * Tells whether the account of a user context is a member of a group.
   *
   * @param handle a user context
   * @param groupName the group, qualified ("DOMAIN\\group") or not
   * @return true when the group is among the groups captured for the account
   * @throws GroupNotFoundException when no group of that name exists (empty message)
   * @throws WinAuthException "Invalid handle", "Not initialized" or "Platform error: xxxxxxxx"
   */
  public static native boolean IsGroupMember(int handle, String groupName) throws WinAuthException;
}
