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
   * Reads a value under HKEY_LOCAL_MACHINE as text, up to its first NUL, whatever its type: the
   * value's bytes are taken as UTF-16 units, least significant byte first (a REG_DWORD 1 reads as
   * the one character U+0001). With {@code view64} set the 64-bit view is tried first and the
   * default view second. No key is created.
   *
   * @param keyPath the key, relative to HKEY_LOCAL_MACHINE, with backslashes between its parts
   * @param valueName the value's name
   * @param view64 true to read the 64-bit registry view
   * @return the text, or null when the key or value cannot be read or the value is empty
   * @throws NullPointerException when an argument is null
   */
  public static native String GetHKLMStringRegValue(String keyPath, String valueName, boolean view64);

  /**
   * Writes a string value (REG_SZ) under an existing key of HKEY_LOCAL_MACHINE: every UTF-16 unit
   * of the string, U+0000 included, and no terminator. No key is created.
   *
   * @param keyPath the key, relative to HKEY_LOCAL_MACHINE
   * @param valueName the value's name
   * @param value the text to store
   * @param view64 true to write the 64-bit registry view
   * @return 0 on success, otherwise the Windows error code. A key that cannot be opened in either
   *     view gives the error of the last attempt, ERROR_FILE_NOT_FOUND (2) when the key does not
   *     exist; it is never reported as 0, and nothing is written.
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
   * @return 0 on success, otherwise the Windows error code. A key that cannot be opened in either
   *     view gives the error of the last attempt, ERROR_FILE_NOT_FOUND (2) when the key does not
   *     exist; it is never reported as 0, and nothing is written.
   * @throws NullPointerException when an argument is null
   */
  public static native int SetHKLMIntRegValue(String keyPath, String valueName, int value, boolean view64);

  /**
   * Returns the product's installation folder from its registry key (in the 64-bit view under
   * WOW64), without one trailing separator.
   *
   * @return the folder, or null when the product key or its value is missing, empty, or longer
   *     than 259 characters
   */
  public static native String GetProductInstallPath();

  /**
   * Returns the path of a file in the product's common application-data folder, creating the
   * folders when they are missing. The base is the product key's "AppDataPath", or else the
   * machine's common application data folder; the path's separator is the platform's own. The file
   * name is taken as it is, and no file is created.
   *
   * @param fileName the file's name
   * @return the full path of the file
   * @throws WinException "Failed to resolve common app data path" when the folder cannot be found
   *     or created, or when the whole path would be longer than 259 characters
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
