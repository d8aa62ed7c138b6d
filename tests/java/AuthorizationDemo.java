import com.tarvex.pelk.quentrel.UserAuth;
import com.tarvex.pelk.quentrel.WinAuthException;
import com.tarvex.pelk.quentrel.WinUtil;

/**
 * Account authorization from a program that knows only the jar: SIDs, an unqualified name refused,
 * and a user context for an account of this computer (the account name is the first argument, the
 * Java user name by default).
 */
public final class AuthorizationDemo {
  private AuthorizationDemo() {}

  public static void main(String[] args) throws WinAuthException {
    System.out.println("BUILTIN\\Administrators: " + UserAuth.GetUserSID("BUILTIN\\Administrators"));
    System.out.println("no such account: " + UserAuth.GetUserSID("no-such-account-anywhere"));
    try {
      UserAuth.CreateUserContext("alice");
    } catch (WinAuthException expected) {
      System.out.println("alice: " + expected.getMessage());
    }
    String user = args.length > 0 ? args[0] : System.getProperty("user.name");
    String account = WinUtil.GetComputerNameNetBIOS() + "\\" + user;
    int handle = UserAuth.CreateUserContext(account);
    try {
      System.out.println("user context: handle " + handle);
      System.out.println("member of BUILTIN\\Users: " + UserAuth.IsGroupMember(handle, "BUILTIN\\Users"));
    } finally {
      UserAuth.FreeHandle(handle);
    }
  }
}
