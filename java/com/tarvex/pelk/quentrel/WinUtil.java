package com.tarvex.pelk.quentrel;

/**
 * Host services: values under the local machine registry hive, the product's folders, the
 * computer's names, the domain-controller check and process exit. Failures are reported by a null
 * result or a Windows error code; only {@link #GetCommonAppDataFilePath} throws.
 */
public final class WinUtil {
  static {
    NativeLibrary.load();
  }

  private WinUtil() {}

  /**
   * Reads a value under HKEY_LOCAL_MACHINE as text, up to its first NUL, whatever its type.
   *
   * @param keyPath the key, relative to HKEY_LOCAL_MACHINE
   * @param valueName the value's name
   * @param view64 true to read the 64-bit registry view
   * @return the text, or null when the key or value cannot be read
   * @throws NullPointerException when an argument is null
   */
  public static native String GetHKLMStringRegValue(String keyPath, String valueName, boolean view64);

  /**
   * Writes a string value (REG_SZ) under an existing key of HKEY_LOCAL_MACHINE. No key is created.
   *
   * @param keyPath the key, relative to HKEY_LOCAL_MACHINE
   * @param valueName the value's name
   * @param value the text to store
   * @param view64 true to write the 64-bit registry view
   * @return 0 on success, otherwise the Windows error code; ERROR_FILE_NOT_FOUND (2) when the key
   *     does not exist
   * @throws NullPointerException when an argument is null
   */
  public static native int SetHKLMStringRegValue(String keyPath, String valueName, String value, boolean view64);

  /**
   * Writes an integer under an existing key of HKEY_LOCAL_MACHINE, stored as REG_SZ data of its
   * four little-endian bytes. No key is created.
   *
   * @param keyPath the key, relative to HKEY_LOCAL_MACHINE
   * @param valueName the value's name
   * @param value the integer to store
   * @param view64 true to write the 64-bit registry view
   * @return 0 on success, otherwise the Windows error code; ERROR_FILE_NOT_FOUND (2) when the key
   *     does not exist
   * @throws NullPointerException when an argument is null
   */
  public static native int SetHKLMIntRegValue(String keyPath, String valueName, int value, boolean view64);

  /**
   * Returns the product's installation folder from its registry key.
   *
   * @return the folder, or null when the product key or its value is missing
   */
  public static native String GetProductInstallPath();

  /**
   * Returns the path of a file in the product's common application-data folder, creating the
   * folders when they are missing.
   *
   * @param fileName the file's name
   * @return the full path of the file
   * @throws WinException "Failed to resolve common app data path" when the folder cannot be found
   *     or created
   * @throws NullPointerException when the file name is null
   */
  public static native String GetCommonAppDataFilePath(String fileName) throws WinException;

  /**
   * Asks for any domain controller of the computer's domain.
   *
   * @return the status of the check: 0 when one was found, otherwise the Windows error code
   */
  public static native int GetDCCheckResultCode();

  /**
   * Returns the computer's fully qualified DNS name.
   *
   * @return the name, or null when it cannot be read
   */
  public static native String GetFullyQualifiedDnsName();

  /**
   * Returns the computer's NetBIOS name.
   *
   * @return the name, or null when it cannot be read
   */
  public static native String GetComputerNameNetBIOS();

  /**
   * Ends the process at once with an exit code; nothing after this call runs.
   *
   * @param exitCode the process exit code, passed bit for bit
   */
  public static native void TerminateProcess(int exitCode);
}
