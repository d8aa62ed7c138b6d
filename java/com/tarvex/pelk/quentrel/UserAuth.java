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
   * Captures the groups of an account in a new user context. The groups are a snapshot: later
   * membership changes are seen only by a new context.
   *
   * @param accountName a qualified name, "DOMAIN\\name" (a name of this computer's own accounts is
   *     qualified with the computer's name); a name without a qualifier before its first backslash
   *     is refused, null included
   * @return the new user context's handle; handles start at 2 and are never reused in a process,
   *     not even the number of a failed creation
   * @throws UserNotFoundException when no account has that name (empty message)
   * @throws WinAuthException "Local users not allowed" for an unqualified name, "Not initialized"
   *     when the library could not set up authorization at load, "Handle limit reached: ..." once
   *     every handle has been issued, or "Platform error: xxxxxxxx" (also when the account is not
   *     one the platform can build an authorization context for, such as a group)
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
   * @return the SID such as "S-1-5-32-544", or null when the name cannot be resolved or its SID
   *     cannot be turned into text; never throws
   */
  public static native String GetUserSID(String accountName);

  /**
   * Tells whether the account of a user context is a member of a group.
   *
   * @param handle a user context
   * @param groupName the group or alias, qualified ("DOMAIN\\group", found only in that domain) or
   *     not (found only among this computer's and the built-in groups)
   * @return true when the group is among the groups captured for the account
   * @throws GroupNotFoundException when no acceptable group has that name, including names of
   *     users and of well-known groups such as Everyone (empty message)
   * @throws WinAuthException "Invalid handle", "Not initialized" or "Platform error: xxxxxxxx"
   */
  public static native boolean IsGroupMember(int handle, String groupName) throws WinAuthException;
}
