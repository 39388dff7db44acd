#pragma once

// TFormConfig, the saver's channel-subscription dialog: one page per topic of the control
// file with the topic's description and a check list of the channels the user may choose
// (mandatory channels are never offered), the current provider's banner picture above the
// pages, and a link-like button that opens the settings dialog. OK writes the choice to
// "subscriptions.dir" and tells the programs about it; Cancel, Esc and the close box write
// and send nothing. All texts are German.
//
// Two settings:
// - stand-alone (the saver's configuration mode): Create() attaches to the message
//   protocol, writes the control program's autostart entry, builds its own cache index and
//   control-file model (the dialog owns them), builds the pages and the banner. Without a
//   cache index or a cached control file it shows the installation error box and gives no
//   dialog. The caller shows the dialog with ShowModal() and ends the program afterwards.
// - inside the running saver: the constructor borrows the saver's CC and CF (their
//   subscribed flags are changed by OK); the caller calls BuildTopicPages(), ShowModal()
//   and frees the dialog.
//
// When no topic offers a choice the dialog does not show itself: BuildTopicPages() opens
// the settings dialog instead and arranges the dialog's own close on the first tick of a
// 1 ms timer; ShowModal() then returns at once without showing anything.
//
// Owns its controls (Qt parent ownership), its selection and, stand-alone, the models.
// Threads: the GUI thread only; the messages need the process's message bus (without one
// they are not sent).

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

class CC;
class CF;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QToolButton;

namespace platform {
class TabRows;
class Timer;
} // namespace platform

class TFormConfig : public QDialog {
public:
    // Opens the settings dialog modally over owner. Tests bind their own; empty means the
    // real TSettingsForm.
    using SettingsOpener = std::function<void(QWidget* owner)>;

    // The stand-alone dialog, pages and banner built; nullptr after the error box when
    // the cache index is missing or unreadable (-1), when no control file is cached (4),
    // or when the subscriptions file exists but cannot be read (the box shows why). The
    // caller then ends the program without running a message loop.
    static std::unique_ptr<TFormConfig> Create(QWidget* owner = nullptr,
                                               SettingsOpener openSettings = {});

    // The dialog inside the running saver, on the saver's models (borrowed; cache may be
    // nullptr: no banner). The banner is built here; the caller builds the pages. Without
    // a control-file model the error box (4) is shown and the dialog offers nothing:
    // ShowModal() returns at once and OK writes nothing.
    TFormConfig(QWidget* owner, CC* cache, CF* controlFile, SettingsOpener openSettings = {});
    ~TFormConfig() override;
    TFormConfig(const TFormConfig&) = delete;
    TFormConfig& operator=(const TFormConfig&) = delete;

    // Builds one page per topic with at least one existing, non-mandatory channel, the
    // ticks from the channels' subscribed flags; without any page opens the settings
    // dialog and arranges the close.
    void BuildTopicPages();

    // Shows the dialog modally and returns its result (Accepted after OK) when it closes.
    // When the close is already arranged (no page) or there is no model, returns Rejected
    // at once without showing the dialog.
    int ShowModal();

    // The ids of the ticked channels; membership ignores letter case.
    const QStringList& Selection() const { return selection_; }
    bool OwnsModels() const { return ownsModels_; }
    CF* ControlFile() const { return controlFile_; }
    CC* Cache() const { return cache_; }
    // True while the close timer of the no-page case waits for its tick.
    bool ClosePending() const { return closeTimer_ != nullptr; }

    // The dialog's texts that other code (and tests) refer to.
    static const QString kCaption;
    // The caption of the error boxes: the application's title.
    static const QString kAppTitle;
    static const QString kSaveFailed;
    // The installation error box's text for a step number (-1 or 4 here).
    static std::string ErrorText(int step);

    // Event handlers, as the dialog's design names them.
    void FormCreate();
    void BtnOKClick();
    void BtnCancelClick();
    void BtnSettingsClick();
    void PanelControlResize();
    void TopicListClickCheck(QListWidget* list, QListWidgetItem* item);
    void TopicPageShow(QWidget* page);
    void CloseTimerTimer();

    // The controls.
    QWidget* PanelBanner = nullptr;
    QLabel* ImageBanner = nullptr;
    QWidget* PanelControl = nullptr;
    platform::TabRows* PageControlTopics = nullptr;
    QWidget* PanelButtons = nullptr;
    QToolButton* BtnSettings = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;

    // The form's client size as the design gives it (a banner may widen it).
    static constexpr int kClientWidth = 442;
    static constexpr int kClientHeight = 318;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct StandAloneModels;
    TFormConfig(QWidget* owner, std::unique_ptr<StandAloneModels> models,
                SettingsOpener openSettings);

    void BuildControls();
    void SetClientWidth(int width);
    // Places the panels and the buttons for the current client size.
    void ArrangePanels();
    void OpenSettings();
    bool SelectionContains(const QString& id) const;
    // Writes the subscriptions file; false (flags as before) when it cannot be written.
    bool SaveSubscriptions(const std::string& path, std::string& error);

    QStringList selection_;
    // Owned by the form (Qt parent); freed after its one tick.
    platform::Timer* closeTimer_ = nullptr;
    bool ownsModels_ = false;
    CF* controlFile_ = nullptr;
    CC* cache_ = nullptr;
    // Stand-alone: the models this dialog built and frees.
    std::unique_ptr<StandAloneModels> owned_;
    // The control file was read only in part: ids of the subscriptions file that the
    // model does not know are kept when saving.
    bool keepUnknownSubscriptions_ = false;
    // The banner panel's height: the design's until the banner is known.
    int bannerHeight_ = 25;
    SettingsOpener openSettings_;
};
