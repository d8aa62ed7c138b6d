// Texts the library hands to Java, spelled exactly as callers see them.
#pragma once

namespace messages {

inline constexpr char kInvalidHandle[] = "Invalid handle";
inline constexpr char kInvalidState[] = "Invalid state";
inline constexpr char kWrongContextType[] = "Wrong context type";
inline constexpr char kTokenCannotBeNull[] = "Token cannot be null";
inline constexpr char kChannelBindingsCannotBeNull[] = "Channel bindings cannot be null";
inline constexpr char kChannelBindingsTooLong[] = "Channel bindings too long";
inline constexpr char kUserNameCannotBeEmpty[] = "User name cannot be empty";
inline constexpr char kPasswordCannotBeNull[] = "Password cannot be null";
inline constexpr char kPasswordTooLong[] = "Password too long";
inline constexpr char kMessageCannotBeNull[] = "Message cannot be null";
inline constexpr char kNotInitialized[] = "Not initialized";
inline constexpr char kLocalUsersNotAllowed[] = "Local users not allowed";
inline constexpr char kHandleLimitReached[] = "Handle limit reached: no more handles can be issued in this process";
inline constexpr char kPlatformErrorFormat[] = "Platform error: %08x";
inline constexpr char kNativeOutOfMemory[] = "Native memory exhausted";
inline constexpr char kFailedToResolveAppDataPath[] = "Failed to resolve common app data path";
inline constexpr char kKeyPathIsNull[] = "keyPath must not be null";
inline constexpr char kValueNameIsNull[] = "valueName must not be null";
inline constexpr char kValueIsNull[] = "value must not be null";
inline constexpr char kFileNameIsNull[] = "fileName must not be null";
inline constexpr char kGroupNameCannotBeNull[] = "Group name cannot be null";
inline constexpr char kAlreadyImpersonating[] = "Already impersonating";
inline constexpr char kNotImpersonating[] = "Not impersonating";

}  // namespace messages

namespace javaclass {

inline constexpr char kWinAuthException[] = "com/tarvex/pelk/quentrel/WinAuthException";
inline constexpr char kUserNotFoundException[] = "com/tarvex/pelk/quentrel/UserNotFoundException";
inline constexpr char kGroupNotFoundException[] = "com/tarvex/pelk/quentrel/GroupNotFoundException";
inline constexpr char kWinException[] = "com/tarvex/pelk/quentrel/WinException";
inline constexpr char kOutOfMemoryError[] = "java/lang/OutOfMemoryError";
inline constexpr char kNullPointerException[] = "java/lang/NullPointerException";

}  // namespace javaclass
