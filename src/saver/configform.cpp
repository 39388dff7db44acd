#include "saver/configform.h"

#include "common/cache.h"
#include "common/cachedmodels.h"
#include "common/controlfile.h"
#include "common/directories.h"
#include "common/layoutfile.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "platform/fileio.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/tabrows.h"
#include "platform/ui/timer.h"
#include "saver/aximage.h"
#include "saver/settingsform.h"

#include <QFont>
#include <QLabel>
#include <QListWidget>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// The design's font: a small sans-serif face of 11 pixels, 8 points.
constexpr int kFontPixels = 11;
constexpr int kFontPoints = 8;

// Geometry of the design (client area 442 x 318).
constexpr int kButtonPanelHeight = 28;
constexpr int kInset = 3;             // page control and banner inside their panels
constexpr int kBannerAreaWidth = 437; // the banner's room at the design's width
constexpr int kPageFrame = 2 * platform::TabRows::kFrame; // a page is this much narrower
// OK and Cancel keep their distance to the right edge when the banner widens the form.
constexpr int kOkRightDistance = TFormConfig::kClientWidth - 272;
constexpr int kCancelRightDistance = TFormConfig::kClientWidth - 352;

// The property under which a check-list item keeps its channel's id.
constexpr int kChannelIdRole = Qt::UserRole;

// The path of the newest cached file of a key; empty when there is none.
std::string EntryPath(const CC& cache, std::string_view key) {
    return cache.NewestFile(key).value_or(std::string());
}

void ShowInstallationError(int step) {
    platform::ShowMessageBox({TFormConfig::kAppTitle.toStdString(), TFormConfig::ErrorText(step),
                              platform::MessageBoxIcon::Stop});
}

} // namespace

struct TFormConfig::StandAloneModels {
    CachedModels models;
};

const QString TFormConfig::kCaption = QStringLiteral("Tolvar-Konfiguration");
const QString TFormConfig::kAppTitle = QStringLiteral("Tolvar");
const QString TFormConfig::kSaveFailed = QStringLiteral(
    "Die Auswahl der Kanäle konnte nicht gespeichert werden.\n\nBitte prüfen Sie, ob Ihr "
    "Benutzerprofil beschreibbar ist, und versuchen Sie es erneut.");

std::string TFormConfig::ErrorText(int step) {
    return "Fehler:\nDie Installation des Bildschirmschoners scheint beschädigt zu sein. (" +
           std::to_string(step) +
           ").\nInstallieren Sie die Software neu, und wenden Sie sich an Ihren "
           "Systemadministrator, falls das Problem fortbesteht.";
}

std::unique_ptr<TFormConfig> TFormConfig::Create(QWidget* owner, SettingsOpener openSettings) {
    // The dialog only sends: no window of its own, no handlers.
    IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    {
        const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
        settings.RegisterBaseappAutostart(settings.GetBaseappPath());
    }

    auto models = std::make_unique<StandAloneModels>();
    models->models = LoadCachedModels(GetCacheDir(), GetSubscriptionsPath());
    switch (models->models.failed) {
    case CachedModelsStep::IndexMissing:
    case CachedModelsStep::IndexUnreadable:
        // An index that cannot be read is as unusable as a missing one.
        ShowInstallationError(-1);
        return nullptr;
    case CachedModelsStep::ControlFileMissing:
        ShowInstallationError(4);
        return nullptr;
    case CachedModelsStep::SubscriptionsUnreadable:
        // Without the user's subscriptions the dialog would show them all unticked and OK
        // would overwrite the file with that: say why and offer nothing.
        platform::ShowMessageBox(
            {kAppTitle.toStdString(), models->models.error, platform::MessageBoxIcon::Stop});
        return nullptr;
    case CachedModelsStep::Done:
        break;
    }

    std::unique_ptr<TFormConfig> form(
        new TFormConfig(owner, std::move(models), std::move(openSettings)));
    form->BuildTopicPages();
    form->FormCreate();
    return form;
}

TFormConfig::TFormConfig(QWidget* owner, std::unique_ptr<StandAloneModels> models,
                         SettingsOpener openSettings)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      ownsModels_(true), owned_(std::move(models)), openSettings_(std::move(openSettings)) {
    BuildControls();
    controlFile_ = owned_->models.controlFile.get();
    cache_ = owned_->models.cache.get();
    keepUnknownSubscriptions_ = !owned_->models.ControlFileComplete();
}

TFormConfig::TFormConfig(QWidget* owner, CC* cache, CF* controlFile, SettingsOpener openSettings)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      openSettings_(std::move(openSettings)) {
    BuildControls();
    controlFile_ = controlFile;
    if (controlFile_ == nullptr) {
        ShowInstallationError(4);
    }
    cache_ = cache;
    FormCreate();
}

TFormConfig::~TFormConfig() = default;

void TFormConfig::BuildControls() {
    setWindowTitle(kCaption);
    QFont small(QStringLiteral("Arial"));
    small.setPixelSize(kFontPixels);
    setFont(small);

    PanelBanner = new QWidget(this);
    ImageBanner = new QLabel(PanelBanner);
    ImageBanner->setGeometry(kInset, kInset, kBannerAreaWidth, 22);

    PanelControl = new QWidget(this);
    // Tabs in several rows: every topic stays reachable however many there are.
    PageControlTopics = new platform::TabRows(PanelControl);
    PageControlTopics->setGeometry(kInset, kInset, kBannerAreaWidth, 236);
    PageControlTopics->OnCurrentChanged = [this](int index) {
        TopicPageShow(PageControlTopics->widget(index));
    };

    PanelButtons = new QWidget(this);
    BtnSettings = new QToolButton(PanelButtons);
    BtnSettings->setText(QStringLiteral("Einstellungen..."));
    BtnSettings->setGeometry(24, 0, 121, 25);
    BtnSettings->setAutoRaise(true);
    BtnSettings->setFocusPolicy(Qt::NoFocus);
    QFont link = small;
    link.setUnderline(true);
    BtnSettings->setFont(link);
    QPalette blue = BtnSettings->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        blue.setColor(group, QPalette::ButtonText, Qt::blue);
    }
    BtnSettings->setPalette(blue);
    BtnSettings->setCursor(Qt::PointingHandCursor);

    BtnOK = new QPushButton(QStringLiteral("OK"), PanelButtons);
    BtnCancel = new QPushButton(QStringLiteral("Abbrechen"), PanelButtons);
    BtnOK->setDefault(true);
    BtnCancel->setAutoDefault(false);

    connect(BtnOK, &QPushButton::clicked, this, [this] { BtnOKClick(); });
    connect(BtnCancel, &QPushButton::clicked, this, [this] { BtnCancelClick(); });
    connect(BtnSettings, &QToolButton::clicked, this, [this] { BtnSettingsClick(); });

    SetClientWidth(kClientWidth);
}

void TFormConfig::SetClientWidth(int width) {
    setFixedSize(width, kClientHeight);
    ArrangePanels();
    if (const QScreen* screen = this->screen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void TFormConfig::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    ArrangePanels();
}

void TFormConfig::ArrangePanels() {
    // Placed by hand rather than by a layout so that the geometry holds before the dialog
    // is first shown, as the design's aligned panels and anchored buttons do.
    const int w = width();
    const int h = height();
    PanelBanner->setGeometry(0, 0, w, bannerHeight_);
    PanelButtons->setGeometry(0, std::max(0, h - kButtonPanelHeight), w, kButtonPanelHeight);
    PanelControl->setGeometry(0, bannerHeight_, w,
                              std::max(0, h - bannerHeight_ - kButtonPanelHeight));
    BtnOK->setGeometry(w - kOkRightDistance, 0, 75, 25);
    BtnCancel->setGeometry(w - kCancelRightDistance, 0, 75, 25);
    PanelControlResize();
}

void TFormConfig::PanelControlResize() {
    PageControlTopics->resize(std::max(0, PanelControl->width() - 2 * kInset),
                              std::max(0, PanelControl->height() - 2 * kInset));
}

bool TFormConfig::SelectionContains(const QString& id) const {
    return selection_.contains(id, Qt::CaseInsensitive);
}

void TFormConfig::BuildTopicPages() {
    selection_.clear();
    if (controlFile_ == nullptr) {
        return;
    }
    const int itemHeight = kFontPoints * 5 / 2;
    for (const CFTopic& topic : controlFile_->topics) {
        std::vector<std::pair<const CFTopicChannel*, const CFChannel*>> offered;
        for (const CFTopicChannel& ref : topic.channelrefs) {
            const CFChannel* channel = controlFile_->FindChannel(ref.id);
            if (channel != nullptr && !channel->mandatory) {
                offered.emplace_back(&ref, channel);
            }
        }
        if (offered.empty()) {
            continue;
        }

        // Made inside the page control so that the label measures with the form's font.
        auto* page = new QWidget(PageControlTopics);
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);

        auto* label = new QLabel(page);
        label->setTextFormat(Qt::PlainText); // server text, never markup
        if (topic.description.empty()) {
            label->setFixedHeight(0);
        } else {
            label->setText(QString::fromStdString(topic.description));
            label->setWordWrap(true);
            label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            const int textWidth = std::max(1, PageControlTopics->width() - kPageFrame);
            label->setFixedHeight(label->heightForWidth(textWidth) + kFontPoints);
        }
        layout->addWidget(label);

        auto* list = new QListWidget(page);
        list->setFrameShape(QFrame::NoFrame);
        list->setUniformItemSizes(true);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        QPalette colours = list->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            colours.setColor(group, QPalette::Base, palette().color(group, QPalette::Window));
        }
        list->setPalette(colours);
        const QFontMetrics metrics(font());
        for (const auto& [ref, channel] : offered) {
            const QString text = QString::fromStdString(ref->displaytitle);
            const QString id = QString::fromStdString(channel->id);
            auto* item = new QListWidgetItem(text, list);
            item->setData(kChannelIdRole, id);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            item->setCheckState(channel->subscribed ? Qt::Checked : Qt::Unchecked);
            item->setSizeHint(QSize(metrics.horizontalAdvance(text) + 2 * itemHeight, itemHeight));
            if (channel->subscribed && !SelectionContains(id)) {
                selection_.append(id);
            }
        }
        layout->addWidget(list, 1);
        connect(list, &QListWidget::itemChanged, this,
                [this, list](QListWidgetItem* item) { TopicListClickCheck(list, item); });

        // "&" would mark a shortcut letter in a tab caption.
        QString title = QString::fromStdString(topic.title);
        title.replace(QLatin1Char('&'), QStringLiteral("&&"));
        PageControlTopics->addTab(page, title);
    }
    if (PageControlTopics->count() > 0) {
        return;
    }

    hide();
    OpenSettings();
    closeTimer_ = new platform::Timer;
    closeTimer_->setParent(this);
    closeTimer_->SetInterval(1);
    closeTimer_->OnTimer = [this] { CloseTimerTimer(); };
}

int TFormConfig::ShowModal() {
    if (controlFile_ == nullptr) {
        return Rejected;
    }
    if (closeTimer_ != nullptr) {
        // Closed before it was ever shown: the tick's work, done now.
        CloseTimerTimer();
        return result();
    }
    // Over the running saver: its child and kept above it.
    platform::PrepareDialog(*this);
    return exec();
}

void TFormConfig::CloseTimerTimer() {
    if (closeTimer_ != nullptr) {
        closeTimer_->SetEnabled(false);
        // Deleted later: this may run inside the timer's own tick.
        std::exchange(closeTimer_, nullptr)->deleteLater();
    }
    done(Rejected);
}

void TFormConfig::TopicListClickCheck(QListWidget* list, QListWidgetItem* item) {
    if (list == nullptr || item == nullptr) {
        return;
    }
    const QString id = item->data(kChannelIdRole).toString();
    const bool ticked = item->checkState() == Qt::Checked;
    if (ticked && !SelectionContains(id)) {
        selection_.append(id);
    } else if (!ticked) {
        for (qsizetype i = 0; i < selection_.size(); ++i) {
            if (selection_[i].compare(id, Qt::CaseInsensitive) == 0) {
                selection_.removeAt(i);
                break;
            }
        }
    }
}

void TFormConfig::TopicPageShow(QWidget* page) {
    if (page == nullptr) {
        return;
    }
    const auto lists = page->findChildren<QListWidget*>(Qt::FindDirectChildrenOnly);
    if (lists.isEmpty()) {
        return;
    }
    QListWidget* list = lists.last();
    const QSignalBlocker quiet(list); // showing the selection must not change it
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* item = list->item(i);
        item->setCheckState(
            SelectionContains(item->data(kChannelIdRole).toString()) ? Qt::Checked : Qt::Unchecked);
    }
}

void TFormConfig::FormCreate() {
    AXImage image;
    image.SizeToPicture = true;

    std::string provider;
    {
        const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
        provider = settings.GetCurrentProvider();
    }
    std::string layoutKey;
    if (controlFile_ != nullptr) {
        if (const CFLayout* layout = controlFile_->LayoutOf(provider)) {
            layoutKey = layout->uri;
        }
    }

    if (cache_ != nullptr) {
        LF layout;
        const std::string layoutPath = EntryPath(*cache_, layoutKey);
        if (!layoutPath.empty()) {
            try {
                layout.Load(layoutPath);
            } catch (const std::exception&) {
                // What was read before the fault is kept.
            }
        }
        if (layout.configbanner) {
            const std::string bannerPath = EntryPath(*cache_, layout.configbanner->src);
            if (!bannerPath.empty()) {
                try {
                    image.LoadFromFile(bannerPath);
                } catch (const std::exception&) {
                    // No banner then.
                }
            }
        }
    }

    // The picture's own size: a bitmap never resizes the image control.
    const QImage& picture = image.Picture();
    if (!picture.isNull() && picture.width() > 0 && picture.height() > 0) {
        const int w = picture.width();
        const int h = picture.height();
        bannerHeight_ = h + kInset;
        int left = kInset;
        if (w < kBannerAreaWidth) {
            SetClientWidth(kBannerAreaWidth + 2 * kInset);
            left = (kBannerAreaWidth - w) / 2 + kInset;
        } else {
            SetClientWidth(w + 2 * kInset);
        }
        ImageBanner->setGeometry(left, kInset, w, h);
        ImageBanner->setPixmap(QPixmap::fromImage(picture));
    } else {
        bannerHeight_ = 0;
        ImageBanner->clear();
        ArrangePanels();
    }
}

bool TFormConfig::SaveSubscriptions(const std::string& path, std::string& error) {
    try {
        if (!keepUnknownSubscriptions_) {
            controlFile_->SaveSubscriptions(path);
            return true;
        }
        // The model lacks the channels after the fault in the control file: their ids in
        // the file are the user's choice too and are written back untouched.
        CF merged;
        merged.channels = controlFile_->channels;
        const std::size_t known = merged.channels.size();
        if (const auto ids = ReadSubscriptionIds(path)) {
            for (const std::string& id : *ids) {
                if (merged.FindChannel(id) == nullptr) {
                    CFChannel kept;
                    kept.id = id;
                    kept.subscribed = true;
                    merged.channels.push_back(std::move(kept));
                }
            }
        }
        merged.SaveSubscriptions(path);
        for (std::size_t i = 0; i < known; ++i) {
            controlFile_->channels[i].subscribed = merged.channels[i].subscribed;
        }
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

void TFormConfig::BtnOKClick() {
    if (controlFile_ == nullptr) {
        done(Rejected);
        return;
    }
    std::vector<bool> before;
    bool changed = false;
    for (CFChannel& channel : controlFile_->channels) {
        before.push_back(channel.subscribed);
        const bool chosen =
            SelectionContains(QString::fromStdString(channel.id)) || channel.mandatory;
        changed = changed || chosen != channel.subscribed;
        channel.subscribed = chosen;
    }
    if (changed) {
        std::string error;
        if (!SaveSubscriptions(GetSubscriptionsPath(), error)) {
            // Not saved: the model keeps what the file holds, nothing is announced, and the
            // dialog stays open with the ticks for another try.
            for (std::size_t i = 0; i < before.size(); ++i) {
                controlFile_->channels[i].subscribed = before[i];
            }
            platform::ShowMessageBox({kCaption.toStdString(), kSaveFailed.toStdString(),
                                      platform::MessageBoxIcon::Stop});
            return;
        }
        if (ownsModels_) {
            IpcRequestSync();
        } else {
            IpcBroadcastReload();
        }
    }
    accept();
}

void TFormConfig::BtnCancelClick() {
    reject();
}

void TFormConfig::BtnSettingsClick() {
    OpenSettings();
}

void TFormConfig::OpenSettings() {
    if (openSettings_) {
        openSettings_(this);
        return;
    }
    TSettingsForm dialog(this);
    platform::PrepareDialog(dialog);
    dialog.exec();
}
