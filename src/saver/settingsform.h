#pragma once

// TSettingsForm, the saver's settings dialog: a fixed-size dialog with four pages (view,
// LAN, dial-up, system) on which the user sets the message interval and ticker speed,
// when the control program looks for new messages over the LAN and over dial-up, how
// dial-up is started, and the two start-up options. All texts are German.
//
// The constructor reads every value through TolvarSettings and shows it clamped into its
// range. OK writes every value back to the user's hive, reads them again to check that
// the values in effect are the ones chosen, announces the change (IpcBroadcastSettingsChanged) and
// accepts the dialog; when the values did not arrive it says so and stays open, announcing nothing.
// Cancel, Esc and the close box write and send nothing.
//
// Opened modally by its owner: TSettingsForm dialog(owner); dialog.exec();
//
// Owns its controls (Qt parent ownership). Threads: the GUI thread only; the announcement
// needs the process's message bus (without one it is not sent).

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QWidget;

class TSettingsForm : public QDialog {
public:
    // Builds the dialog, reads the settings and fills the controls.
    explicit TSettingsForm(QWidget* owner = nullptr);
    ~TSettingsForm() override;
    TSettingsForm(const TSettingsForm&) = delete;
    TSettingsForm& operator=(const TSettingsForm&) = delete;

    // The dialog's texts that other code (and tests) refer to.
    static const QString kCaption;
    static const QString kLblDUNEnabled;
    static const QString kLblDUNDisabled;
    static const QString kConfirmAutostartBaseApp;
    static const QString kConfirmAutoregisterSaver;
    static const QString kSaveFailed;

    // Writes the settings, announces them and closes the dialog; stays open (after an
    // error box) when the user's hive did not take the values.
    void BtnOKClick();
    // Closes the dialog; nothing is written.
    void BtnCancelClick();
    // The enable logic: the dial-up choice changed; the permanent-connection box changed.
    void CLBUseDUNChange();
    void CBLANAlwaysOnClick();
    // The user changed a start-up option: unchecking asks for confirmation.
    void CBSysAutostartBaseAppClick();
    void CBSysAutoregisterSaverClick();
    // Greys or enables the dial-up search controls.
    void EnableDunControls(bool enabled);

    // The controls, named as the dialog's design names them.
    QTabWidget* PageControl = nullptr;
    QWidget* TabView = nullptr;
    QWidget* TabLAN = nullptr;
    QWidget* TabDUN = nullptr;
    QWidget* TabSystem = nullptr;
    QWidget* TabUpdate = nullptr; // never shown
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;

    QSlider* TrackBarTickerSpeed = nullptr;
    QLineEdit* EditMessageInterval = nullptr;

    QCheckBox* CBActLANTolvar = nullptr;
    QCheckBox* CBActLANSys = nullptr;
    QCheckBox* CBActLANAuto = nullptr;
    QLineEdit* EditActLANAutoInterval = nullptr;
    QCheckBox* CBActLANThumbs = nullptr;
    QLineEdit* EditActLANTimeout = nullptr;
    QCheckBox* CBLANAlwaysOn = nullptr;

    QLabel* LblDUN = nullptr;
    QGroupBox* GBDUN = nullptr;
    QCheckBox* CBActDUNTolvar = nullptr;
    QCheckBox* CBActDUNSys = nullptr;
    QCheckBox* CBActDUNAuto = nullptr;
    QLineEdit* EditActDUNAutoInterval = nullptr;
    QLabel* LBLActDUNAutoMinutes = nullptr;
    QCheckBox* CBActDUNThumbs = nullptr;
    QLabel* LblActDUNTimeout = nullptr; // "Timeout:"
    QLineEdit* EditActDUNTimeout = nullptr;
    QLabel* LblActDUNTimeoutSeconds = nullptr; // "Sekunden"
    QGroupBox* GBUseDUN = nullptr;
    QLabel* LblUseDUN = nullptr;
    QComboBox* CLBUseDUN = nullptr;
    QCheckBox* CBActDUNAskOnlyIfSSActive = nullptr;

    QCheckBox* CBSysAutostartBaseApp = nullptr;
    QCheckBox* CBSysAutoregisterSaver = nullptr;

private:
    void BuildControls();
    void ReadSettings();
    void ConfirmUncheck(QCheckBox* box, const QString& text);
    bool AskOnlyIfSSActiveAllowed() const;

    // The values as read at opening (numbers clamped); SyncInterval has no control and is
    // written back as read.
    int syncInterval_ = 0;
};
