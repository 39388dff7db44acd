#pragma once

// TolvarSettings: the only way the programs read and write their configuration, typed
// accessors for the registry values under "\Software\<maker>\<product>".
//
// Values are read from the machine hive and overridden by the user's hive; a value
// stored in neither gives the accessor's default; writes go to the user's hive. The
// machine identity, the provider list, the autostart entry and the System switches live
// in the machine hive. Each call opens and closes its own keys, so an object holds no
// registry state: make one for a burst of reads or writes on any thread, and drop it.
// Failures to open or write keys are not reported (reads give the default), except that
// GetProviderValues passes a provider value that is not a string on as
// platform::RegistryTypeError.

#include <string>
#include <string_view>
#include <vector>

// The maker and product both programs pass: the key "\Software\Brimwald\Tolvar".
inline constexpr const char* kTolvarMaker = "Brimwald";
inline constexpr const char* kTolvarProduct = "Tolvar";

class TolvarSettings {
public:
    // The key path is "\Software\" + maker + "\" + product; both programs pass
    // "Brimwald" and "Tolvar".
    TolvarSettings(std::string_view maker, std::string_view product);

    const std::string& KeyPath() const { return keyPath_; }

    // The read rule: machine value, overridden by the user's; default when in neither.
    int ReadInteger(std::string_view name, int defaultValue) const;
    bool ReadBool(std::string_view name, bool defaultValue) const;
    std::string ReadString(std::string_view name, const std::string& defaultValue) const;
    // The write rule: into the user's main key (created); each returns the value given.
    int WriteInteger(std::string_view name, int value) const;
    bool WriteBool(std::string_view name, bool value) const;
    std::string WriteString(std::string_view name, const std::string& value) const;

    int GetMessageInterval() const;
    int SetMessageInterval(int value) const;
    int GetTickerSpeed() const;
    int SetTickerSpeed(int value) const;
    int GetSyncInterval() const;
    int SetSyncInterval(int value) const;
    // "TolvarCtrl": the control program's full path.
    std::string GetBaseappPath() const;
    std::string SetBaseappPath(const std::string& value) const;
    bool GetActLANTolvar() const;
    bool SetActLANTolvar(bool value) const;
    bool GetActLANSys() const;
    bool SetActLANSys(bool value) const;
    bool GetActLANAuto() const;
    bool SetActLANAuto(bool value) const;
    int GetActLANAutoInterval() const;
    int SetActLANAutoInterval(int value) const;
    bool GetActLANThumbs() const;
    bool SetActLANThumbs(bool value) const;
    int GetActLANTimeout() const;
    int SetActLANTimeout(int value) const;
    bool GetActLANAlwaysOn() const;
    bool SetActLANAlwaysOn(bool value) const;
    bool GetUseDUN() const;
    bool SetUseDUN(bool value) const;
    bool GetActDUNTolvar() const;
    bool SetActDUNTolvar(bool value) const;
    bool GetActDUNSys() const;
    bool SetActDUNSys(bool value) const;
    bool GetActDUNAuto() const;
    bool SetActDUNAuto(bool value) const;
    int GetActDUNAutoInterval() const;
    int SetActDUNAutoInterval(int value) const;
    bool GetActDUNThumbs() const;
    bool SetActDUNThumbs(bool value) const;
    int GetActDUNMsgBox() const;
    int SetActDUNMsgBox(int value) const;
    int GetActDUNTimeout() const;
    int SetActDUNTimeout(int value) const;
    bool GetActDUNAskOnlyIfSSActive() const;
    bool SetActDUNAskOnlyIfSSActive(bool value) const;
    bool GetSysAutostartBaseapp() const;
    bool SetSysAutostartBaseapp(bool value) const;
    bool GetSysAutoregisterSaver() const;
    bool SetSysAutoregisterSaver(bool value) const;
    std::string GetCurrentProvider() const;
    std::string SetCurrentProvider(const std::string& value) const;
    std::string GetSysUserID() const;
    std::string SetSysUserID(const std::string& value) const;
    // The machine identity: machine hive only, never the user's.
    std::string GetSysHostID() const;
    std::string SetSysHostID(const std::string& value) const;

    // Switches of the System sub-key: on only when the text is exactly "true".
    // ShowTNAIcon reads the machine hive only; the others let the user's hive override.
    bool GetTickerDrawOnScreenDC() const;
    bool GetShowTNAIcon() const;
    bool GetShowDebug() const;
    bool GetHideQuit() const;

    // The Providers sub-key of the machine hive, in enumeration order: names, and the
    // layout folder of each (index i of both lists is one provider). No key: empty lists.
    std::vector<std::string> GetProviderNames() const;
    // Throws platform::RegistryTypeError when a provider value is not a string.
    std::vector<std::string> GetProviderValues() const;
    void SetProviderValue(const std::string& name, const std::string& value) const;

    // The machine Run key's "TolvarCtrl" = path + " --startup". An empty path does
    // nothing at all.
    void RegisterBaseappAutostart(const std::string& path) const;
    void UnregisterBaseappAutostart() const;

    // The version of the file at the stored "TolvarCtrl" path, four numbers joined by
    // ".", each shown modulo 256; empty when the file carries no version.
    std::string GetBaseappVersion() const;

    // Whether this user may change the machine-wide settings and write beside the
    // control program (the install-rights test).
    bool CheckWriteRights() const;

private:
    bool ReadSwitch(std::string_view name, bool userOverrides) const;

    std::string keyPath_;
};
