import com.tarvex.pelk.quentrel.WinException;
import com.tarvex.pelk.quentrel.WinUtil;
import java.io.File;

/** Uses the host utilities: registry values, the computer's names, the DC check and a product path. */
public final class HostDemo {
  private HostDemo() {}

  public static void main(String[] args) throws WinException {
    String key = "SOFTWARE";
    System.out.println("write string: " + WinUtil.SetHKLMStringRegValue(key, "HostDemoText", "hello", true));
    // 0x00690048 is stored as the bytes 48 00 69 00, which read back as the text "Hi".
    System.out.println("write integer: " + WinUtil.SetHKLMIntRegValue(key, "HostDemoNumber", 0x00690048, true));
    System.out.println("read string: " + WinUtil.GetHKLMStringRegValue(key, "HostDemoText", true));
    System.out.println("read integer: " + WinUtil.GetHKLMStringRegValue(key, "HostDemoNumber", true));
    System.out.println("write under a missing key: "
        + WinUtil.SetHKLMStringRegValue("SOFTWARE\\No Such Key", "v", "x", true));
    System.out.println("NetBIOS name: " + WinUtil.GetComputerNameNetBIOS());
    System.out.println("DNS name: " + WinUtil.GetFullyQualifiedDnsName());
    System.out.println("DC check: " + WinUtil.GetDCCheckResultCode());
    String path = WinUtil.GetCommonAppDataFilePath("demo.log");
    System.out.println("app-data file: " + path);
    System.out.println("product folder exists: " + new File(path).getParentFile().isDirectory());
  }
}
