// What the installer tells the operator: one line each, information on stdout, errors on
// stderr. The texts are the product's own.
#pragma once

#include <string>

namespace tarvo::install {

inline constexpr char kServiceName[] = "Tarvo VPN Server";
inline constexpr char kServiceDescription[] = "Provides Tarvo VPN Services, 256-bit AES encryption";

inline constexpr char kMissingFilesText[] = "Missing next files :";
inline constexpr char kInstallErrorText[] = "Install service error";
inline constexpr char kInstalledRunningText[] = "Installation completed. Tarvo Server running.";
inline constexpr char kInstalledText[] = "Installation completed.";
inline constexpr char kNotInstalledText[] = "Tarvo VPN Server not installed";
inline constexpr char kUninstalledText[] = "Uninstall completed. Windows must be restarted";
inline constexpr char kUninstallErrorText[] = "Tarvo VPN Server uninstall error";
inline constexpr char kPrepareStoreErrorText[] = "The user store could not be prepared in ";
inline constexpr char kNoOdbcText[] = "Please install SQL Server if it is not installed!";

void ShowInformation(const std::string& text);
void ShowError(const std::string& text);

}  // namespace tarvo::install
