#include "saver/settingsform.h"

#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "platform/registry.h"
#include "platform/ui/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <limits>
#include <string>
#include <system_error>

namespace {

struct Range {
    int min;
    int max;
};
constexpr Range kMessageIntervalRange{4, 60};
constexpr Range kTickerSpeedRange{1, 3};
constexpr Range kAutoIntervalRange{2, 120};
constexpr Range kTimeoutRange{5, 180};
// A time-out field that holds no number counts as this before clamping.
constexpr int kTimeoutFallback = 25;
// Items of the dial-up choice.
constexpr int kDunNever = 0;
constexpr int kDunAlwaysAsk = 1;
constexpr int kDunAskIfNeeded = 2;
constexpr int kDunItemCount = 4;

int Clamp(int value, Range range) {
    return std::clamp(value, range.min, range.max);
}

// The number in an edit: blanks around, an optional sign and decimal digits. A number
// too large for an int saturates, so clamping still gives the nearest bound; any other
// text gives fallback.
int ParseDecimal(const QString& text, int fallback) {
    const std::string s = text.trimmed().toStdString();
    const char* first = s.data();
    const char* last = s.data() + s.size();
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    if (first == last || *first < '0' || *first > '9') {
        return fallback;
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (end != last) {
        return fallback;
    }
    if (error == std::errc::result_out_of_range || value > std::numeric_limits<int>::max()) {
        return negative ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    }
    return static_cast<int>(negative ? -value : value);
}

// Every value the dialog edits, in the order it reads them.
struct SettingsValues {
    int MessageInterval = 0;
    int TickerSpeed = 0;
    int SyncInterval = 0;
    bool ActLANTolvar = false;
    bool ActLANSys = false;
    bool ActLANAuto = false;
    int ActLANAutoInterval = 0;
    bool ActLANThumbs = false;
    int ActLANTimeout = 0;
    bool ActLANAlwaysOn = false;
    bool UseDUN = false;
    bool ActDUNTolvar = false;
    bool ActDUNSys = false;
    bool ActDUNAuto = false;
    int ActDUNAutoInterval = 0;
    bool ActDUNThumbs = false;
    int ActDUNMsgBox = 0;
    int ActDUNTimeout = 0;
    bool ActDUNAskOnlyIfSSActive = false;
    bool SysAutostartBaseapp = false;
    bool SysAutoregisterSaver = false;

    bool operator==(const SettingsValues&) const = default;
};

SettingsValues ReadAll(const TolvarSettings& s) {
    SettingsValues v;
    v.MessageInterval = s.GetMessageInterval();
    v.TickerSpeed = s.GetTickerSpeed();
    v.SyncInterval = s.GetSyncInterval();
    v.ActLANTolvar = s.GetActLANTolvar();
    v.ActLANSys = s.GetActLANSys();
    v.ActLANAuto = s.GetActLANAuto();
    v.ActLANAutoInterval = s.GetActLANAutoInterval();
    v.ActLANThumbs = s.GetActLANThumbs();
    v.ActLANTimeout = s.GetActLANTimeout();
    v.ActLANAlwaysOn = s.GetActLANAlwaysOn();
    v.UseDUN = s.GetUseDUN();
    v.ActDUNTolvar = s.GetActDUNTolvar();
    v.ActDUNSys = s.GetActDUNSys();
    v.ActDUNAuto = s.GetActDUNAuto();
    v.ActDUNAutoInterval = s.GetActDUNAutoInterval();
    v.ActDUNThumbs = s.GetActDUNThumbs();
    v.ActDUNMsgBox = s.GetActDUNMsgBox();
    v.ActDUNTimeout = s.GetActDUNTimeout();
    v.ActDUNAskOnlyIfSSActive = s.GetActDUNAskOnlyIfSSActive();
    v.SysAutostartBaseapp = s.GetSysAutostartBaseapp();
    v.SysAutoregisterSaver = s.GetSysAutoregisterSaver();
    return v;
}

void WriteAll(const TolvarSettings& s, const SettingsValues& v) {
    s.SetMessageInterval(v.MessageInterval);
    s.SetTickerSpeed(v.TickerSpeed);
    s.SetSyncInterval(v.SyncInterval);
    s.SetActLANTolvar(v.ActLANTolvar);
    s.SetActLANSys(v.ActLANSys);
    s.SetActLANAuto(v.ActLANAuto);
    s.SetActLANAutoInterval(v.ActLANAutoInterval);
    s.SetActLANThumbs(v.ActLANThumbs);
    s.SetActLANTimeout(v.ActLANTimeout);
    s.SetActLANAlwaysOn(v.ActLANAlwaysOn);
    s.SetActDUNTolvar(v.ActDUNTolvar);
    s.SetActDUNSys(v.ActDUNSys);
    s.SetActDUNAuto(v.ActDUNAuto);
    s.SetActDUNAutoInterval(v.ActDUNAutoInterval);
    s.SetActDUNThumbs(v.ActDUNThumbs);
    s.SetUseDUN(v.UseDUN);
    s.SetActDUNMsgBox(v.ActDUNMsgBox);
    s.SetActDUNTimeout(v.ActDUNTimeout);
    s.SetActDUNAskOnlyIfSSActive(v.ActDUNAskOnlyIfSSActive);
    s.SetSysAutostartBaseapp(v.SysAutostartBaseapp);
    s.SetSysAutoregisterSaver(v.SysAutoregisterSaver);
}

// A label in the window-text colour, or in the grey-text colour when not normal.
void SetTextColour(QLabel* label, bool normal, const QPalette& form) {
    const QColor colour = normal ? form.color(QPalette::Active, QPalette::WindowText)
                                 : form.color(QPalette::Disabled, QPalette::WindowText);
    QPalette palette = label->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, colour);
    }
    label->setPalette(palette);
}

// An edit in the window colour, or in the form's colour when not normal.
void SetEditColour(QLineEdit* edit, bool normal, const QPalette& form) {
    const QColor colour = normal ? form.color(QPalette::Active, QPalette::Base)
                                 : form.color(QPalette::Active, QPalette::Window);
    QPalette palette = edit->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, colour);
    }
    edit->setPalette(palette);
}

QVBoxLayout* GroupLayout(QGroupBox* group) {
    auto* layout = new QVBoxLayout(group);
    layout->setContentsMargins(8, 4, 4, 4);
    layout->setSpacing(2);
    return layout;
}

QLabel* WrappedLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

QLineEdit* NumberEdit() {
    auto* edit = new QLineEdit;
    edit->setFixedWidth(40);
    edit->setAlignment(Qt::AlignRight);
    return edit;
}

// A row of widgets (nullptr: a stretch), indented by indent pixels.
QHBoxLayout* Row(std::initializer_list<QWidget*> widgets, int indent = 0) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(indent, 0, 0, 0);
    for (QWidget* widget : widgets) {
        if (widget == nullptr) {
            row->addStretch(1);
        } else {
            row->addWidget(widget);
        }
    }
    row->addStretch(1);
    return row;
}

} // namespace

const QString TSettingsForm::kCaption = QStringLiteral("Tolvar-Einstellungen");
const QString TSettingsForm::kLblDUNEnabled = QStringLiteral(
    "Hier legen Sie fest, wie die Software sich verhält, wenn die Verbindung zum Internet "
    "durch eine Einwahlverbindung hergestellt werden muß, beispielsweise über Modem oder "
    "ISDN.");
const QString TSettingsForm::kLblDUNDisabled = QStringLiteral(
    "Die DFÜ-Optionen stehen derzeit nicht zur Verfügung, da Sie auf der Karte "
    "\"LAN-Einstellungen\" angegeben haben, dass dieser Computer über eine permanente "
    "Internet-Verbindung verfügt.");
const QString TSettingsForm::kConfirmAutostartBaseApp = QStringLiteral(
    "Sie sind im Begriff, die Option \"Saververwaltung automatisch \nstarten\" zu "
    "deaktivieren.\n\nWenn die Saververwaltung nicht gestartet wird, können \nNachrichten "
    "des Meldungsfensters und des Tickers nicht\nmehr im Browser geöffnet werden, und der "
    "Tolvar wird\nnicht mehr mit aktuellen Nachrichten versorgt.\n\nWollen Sie das "
    "wirklich?");
const QString TSettingsForm::kConfirmAutoregisterSaver = QStringLiteral(
    "Sie sind im Begriff, die Option \"Tolvar automatisch als Standard-\nBildschirmschoner "
    "festlegen\" zu deaktivieren.\n\nWenn der Tolvar-Bildschirmschoner nicht als Standard "
    "festgelegt \nist, stehen wichtige Funktionen der Software nicht mehr zur\nVerfügung."
    "\n\nWollen Sie das wirklich?");
const QString TSettingsForm::kSaveFailed =
    QStringLiteral("Die Einstellungen konnten nicht gespeichert werden.\n\nBitte prüfen Sie, "
                   "ob Ihr Benutzerprofil beschreibbar ist, und versuchen Sie es erneut.");

TSettingsForm::TSettingsForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(kCaption);
    // The dialog's texts were sized for a small sans-serif face of 11 pixels.
    QFont small(QStringLiteral("Arial"));
    small.setPixelSize(11);
    setFont(small);
    BuildControls();
    ReadSettings();

    connect(BtnOK, &QPushButton::clicked, this, [this] { BtnOKClick(); });
    connect(BtnCancel, &QPushButton::clicked, this, [this] { BtnCancelClick(); });
    connect(CLBUseDUN, &QComboBox::currentIndexChanged, this, [this] { CLBUseDUNChange(); });
    connect(CBLANAlwaysOn, &QCheckBox::toggled, this, [this] { CBLANAlwaysOnClick(); });
    // Only the user's clicks ask: filling the boxes from the settings must not.
    connect(CBSysAutostartBaseApp, &QCheckBox::clicked, this,
            [this] { CBSysAutostartBaseAppClick(); });
    connect(CBSysAutoregisterSaver, &QCheckBox::clicked, this,
            [this] { CBSysAutoregisterSaverClick(); });

    setFixedSize(446, 320);
    if (const QScreen* screen = owner != nullptr ? owner->screen() : this->screen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

TSettingsForm::~TSettingsForm() = default;

void TSettingsForm::BuildControls() {
    auto* formLayout = new QVBoxLayout(this);
    formLayout->setContentsMargins(4, 4, 4, 4);
    formLayout->setSpacing(4);

    PageControl = new QTabWidget;
    formLayout->addWidget(PageControl, 1);

    // View page.
    TabView = new QWidget;
    {
        auto* page = new QVBoxLayout(TabView);
        auto* ticker = new QGroupBox(QStringLiteral("Ticker"));
        auto* tickerLayout = GroupLayout(ticker);
        tickerLayout->addWidget(WrappedLabel(QStringLiteral(
            "Legen Sie hier die Geschwindigkeit des Tickers fest. Langsam laufende Ticker "
            "benötigen weniger Systemressourcen als schnelle, werden aber vom Auge bisweilen "
            "als \"ruckelnd\" empfunden.")));
        TrackBarTickerSpeed = new QSlider(Qt::Horizontal);
        TrackBarTickerSpeed->setRange(kTickerSpeedRange.min, kTickerSpeedRange.max);
        TrackBarTickerSpeed->setSingleStep(1);
        TrackBarTickerSpeed->setPageStep(1);
        TrackBarTickerSpeed->setTickInterval(1);
        TrackBarTickerSpeed->setTickPosition(QSlider::TicksBelow);
        TrackBarTickerSpeed->setFixedWidth(160);
        tickerLayout->addLayout(Row({new QLabel(QStringLiteral("Geschwindigkeit:")),
                                     new QLabel(QStringLiteral("schnell")), TrackBarTickerSpeed,
                                     new QLabel(QStringLiteral("langsam"))}));
        page->addWidget(ticker);

        auto* message = new QGroupBox(QStringLiteral("Einzelnachricht"));
        auto* messageLayout = GroupLayout(message);
        messageLayout->addWidget(WrappedLabel(
            QStringLiteral("Bestimmen Sie, mit welcher Frequenz der Inhalt des "
                           "Nachrichtenfensters durch eine neue Nachricht ersetzt wird.")));
        EditMessageInterval = NumberEdit();
        messageLayout->addLayout(Row({new QLabel(QStringLiteral("Nachrichtenwechsel:")),
                                      new QLabel(QStringLiteral("alle")), EditMessageInterval,
                                      new QLabel(QStringLiteral("Sekunden"))}));
        page->addWidget(message);
        page->addStretch(1);
    }
    PageControl->addTab(TabView, QStringLiteral("Ansicht"));

    // LAN page.
    TabLAN = new QWidget;
    {
        auto* page = new QVBoxLayout(TabLAN);
        page->addWidget(WrappedLabel(QStringLiteral(
            "Hier legen Sie fest, wie sich die Software verhält, wenn eine permanente "
            "Verbindung zum Internet besteht, beispielsweise über ein lokales Netzwerk "
            "(LAN).")));
        auto* search = new QGroupBox(QStringLiteral("Neue Nachrichten suchen:"));
        auto* searchLayout = GroupLayout(search);
        CBActLANTolvar = new QCheckBox(QStringLiteral("Beim Aktivieren des Bildschirmschoners"));
        CBActLANSys = new QCheckBox(QStringLiteral("Sofort nach Systemstart / Anmeldung"));
        CBActLANAuto = new QCheckBox(QStringLiteral("Automatisch alle"));
        EditActLANAutoInterval = NumberEdit();
        CBActLANThumbs =
            new QCheckBox(QStringLiteral("Mini-Grafiken der Nachrichten laden, falls vorhanden"));
        EditActLANTimeout = NumberEdit();
        searchLayout->addWidget(CBActLANTolvar);
        searchLayout->addWidget(CBActLANSys);
        searchLayout->addLayout(
            Row({CBActLANAuto, EditActLANAutoInterval, new QLabel(QStringLiteral("Minuten"))}));
        searchLayout->addWidget(CBActLANThumbs);
        searchLayout->addLayout(Row({new QLabel(QStringLiteral("Timeout:")), EditActLANTimeout,
                                     new QLabel(QStringLiteral("Sekunden"))}));
        page->addWidget(search);

        auto* always = new QGroupBox(
            QStringLiteral("Windows-Fehler zur Erkennung der Internet-Verbindung übersteuern:"));
        auto* alwaysLayout = GroupLayout(always);
        CBLANAlwaysOn = new QCheckBox(QStringLiteral(
            "Dieser Computer verfügt über eine permanente Verbindung mit dem Internet."));
        alwaysLayout->addWidget(CBLANAlwaysOn);
        page->addWidget(always);
        page->addStretch(1);
    }
    PageControl->addTab(TabLAN, QStringLiteral("LAN-Einstellungen"));

    // Dial-up page.
    TabDUN = new QWidget;
    {
        auto* page = new QVBoxLayout(TabDUN);
        LblDUN = WrappedLabel(kLblDUNEnabled);
        page->addWidget(LblDUN);
        GBDUN = new QGroupBox(QStringLiteral("Neue Nachrichten suchen:"));
        auto* searchLayout = GroupLayout(GBDUN);
        CBActDUNTolvar = new QCheckBox(QStringLiteral("Beim Aktivieren des Bildschirmschoners"));
        CBActDUNSys = new QCheckBox(QStringLiteral("Sofort nach Systemstart / Anmeldung"));
        CBActDUNAuto = new QCheckBox(QStringLiteral("Automatisch alle"));
        EditActDUNAutoInterval = NumberEdit();
        LBLActDUNAutoMinutes = new QLabel(QStringLiteral("Minuten"));
        CBActDUNThumbs =
            new QCheckBox(QStringLiteral("Mini-Grafiken der Nachrichten laden, falls vorhanden"));
        LblActDUNTimeout = new QLabel(QStringLiteral("Timeout:"));
        EditActDUNTimeout = NumberEdit();
        LblActDUNTimeoutSeconds = new QLabel(QStringLiteral("Sekunden"));
        searchLayout->addWidget(CBActDUNTolvar);
        searchLayout->addWidget(CBActDUNSys);
        searchLayout->addLayout(Row({CBActDUNAuto, EditActDUNAutoInterval, LBLActDUNAutoMinutes}));
        searchLayout->addWidget(CBActDUNThumbs);
        searchLayout->addLayout(
            Row({LblActDUNTimeout, EditActDUNTimeout, LblActDUNTimeoutSeconds}));
        page->addWidget(GBDUN);

        GBUseDUN = new QGroupBox(QStringLiteral("Verbindungsaufbau"));
        auto* useLayout = GroupLayout(GBUseDUN);
        LblUseDUN = new QLabel(QStringLiteral("Wählverbindung automatisch aufbauen:"));
        CLBUseDUN = new QComboBox;
        CLBUseDUN->addItems({QStringLiteral("Nie"), QStringLiteral("Immer fragen"),
                             QStringLiteral("Nur fragen, falls erforderlich"),
                             QStringLiteral("Ohne Rückfrage")});
        CLBUseDUN->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        CBActDUNAskOnlyIfSSActive = new QCheckBox(QStringLiteral(
            "Nur fragen, wenn Bildschirmschoner aktiv (nicht bei der Arbeit stören)"));
        useLayout->addLayout(Row({LblUseDUN, CLBUseDUN}));
        useLayout->addWidget(CBActDUNAskOnlyIfSSActive);
        page->addWidget(GBUseDUN);
        page->addStretch(1);
    }
    PageControl->addTab(TabDUN, QStringLiteral("DFÜ-Einstellungen"));

    // System page.
    TabSystem = new QWidget;
    {
        auto* page = new QVBoxLayout(TabSystem);
        page->addWidget(WrappedLabel(
            QStringLiteral("Hier legen Sie fest, wie sich die Software beim Systemstart bzw. "
                           "bei der Anmeldung am Betriebssystem verhält.")));
        auto* group = new QGroupBox(QStringLiteral("Verhalten bei Systemstart / Anmeldung"));
        auto* groupLayout = GroupLayout(group);
        CBSysAutostartBaseApp =
            new QCheckBox(QStringLiteral("Saververwaltung automatisch starten"));
        CBSysAutoregisterSaver = new QCheckBox(
            QStringLiteral("Tolvar automatisch als Standard-Bildschirmschoner festlegen"));
        groupLayout->addWidget(CBSysAutostartBaseApp);
        groupLayout->addWidget(CBSysAutoregisterSaver);
        groupLayout->addWidget(WrappedLabel(QStringLiteral(
            "Die Saververwaltung versorgt den Tolvar mit aktuellen Nachrichten und unterstützt "
            "ihn beim Öffnen von Nachrichtenartikeln aus dem Internet.")));
        auto* attention = new QLabel(QStringLiteral("Achtung:"));
        QFont bold = attention->font();
        bold.setBold(true);
        attention->setFont(bold);
        groupLayout->addWidget(attention);
        groupLayout->addWidget(WrappedLabel(QStringLiteral(
            "Das Deaktivieren dieser Optionen wird nicht empfohlen, da anderenfalls wichtige "
            "Funktionen der Software nicht zur Verfügung stehen.")));
        groupLayout->addWidget(WrappedLabel(QStringLiteral(
            "Im akuten Bedarfsfall (z.B. permanenter Speicherplatzmangel) können Sie "
            "allerdings alternativ die Saververwaltung über das Startmenü aufrufen und "
            "beenden sowie den Schoner starten.")));
        page->addWidget(group);
        page->addStretch(1);
    }
    PageControl->addTab(TabSystem, QStringLiteral("System"));

    // Kept for its caption only: the page is never shown and nothing on it is used.
    TabUpdate = new QWidget;
    const int updateIndex = PageControl->addTab(TabUpdate, QStringLiteral("Software Update"));
    PageControl->setTabVisible(updateIndex, false);
    PageControl->setCurrentIndex(0);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    BtnOK = new QPushButton(QStringLiteral("OK"));
    BtnCancel = new QPushButton(QStringLiteral("Abbrechen"));
    for (QPushButton* button : {BtnOK, BtnCancel}) {
        button->setFixedSize(75, 25);
        buttons->addWidget(button);
    }
    BtnOK->setDefault(true);
    BtnCancel->setAutoDefault(false);
    formLayout->addLayout(buttons);
}

void TSettingsForm::ReadSettings() {
    SettingsValues v;
    {
        const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
        v = ReadAll(settings);
    }
    syncInterval_ = v.SyncInterval;

    EditMessageInterval->setText(QString::number(Clamp(v.MessageInterval, kMessageIntervalRange)));
    TrackBarTickerSpeed->setValue(Clamp(v.TickerSpeed, kTickerSpeedRange));
    CBActLANTolvar->setChecked(v.ActLANTolvar);
    CBActLANSys->setChecked(v.ActLANSys);
    CBActLANAuto->setChecked(v.ActLANAuto);
    EditActLANAutoInterval->setText(
        QString::number(Clamp(v.ActLANAutoInterval, kAutoIntervalRange)));
    CBActLANThumbs->setChecked(v.ActLANThumbs);
    EditActLANTimeout->setText(QString::number(Clamp(v.ActLANTimeout, kTimeoutRange)));
    CBLANAlwaysOn->setChecked(v.ActLANAlwaysOn);
    CBActDUNTolvar->setChecked(v.ActDUNTolvar);
    CBActDUNSys->setChecked(v.ActDUNSys);
    CBActDUNAuto->setChecked(v.ActDUNAuto);
    EditActDUNAutoInterval->setText(
        QString::number(Clamp(v.ActDUNAutoInterval, kAutoIntervalRange)));
    CBActDUNThumbs->setChecked(v.ActDUNThumbs);

    // A stored index outside the list would leave the list without a selection and OK
    // would then store it again; it shows "Nie", which never dials without the user.
    int choice = v.UseDUN ? v.ActDUNMsgBox : kDunNever;
    if (choice < 0 || choice >= kDunItemCount) {
        choice = kDunNever;
    }
    CLBUseDUN->setCurrentIndex(choice);
    CBActDUNAskOnlyIfSSActive->setChecked(v.ActDUNAskOnlyIfSSActive);
    CBActDUNAskOnlyIfSSActive->setEnabled(AskOnlyIfSSActiveAllowed());

    EditActDUNTimeout->setText(QString::number(Clamp(v.ActDUNTimeout, kTimeoutRange)));

    CBLANAlwaysOnClick();
    CBSysAutostartBaseApp->setChecked(v.SysAutostartBaseapp);
    CBSysAutoregisterSaver->setChecked(v.SysAutoregisterSaver);
}

bool TSettingsForm::AskOnlyIfSSActiveAllowed() const {
    const int choice = CLBUseDUN->currentIndex();
    return choice == kDunAlwaysAsk || choice == kDunAskIfNeeded;
}

void TSettingsForm::EnableDunControls(bool enabled) {
    for (QWidget* widget : std::initializer_list<QWidget*>{
             GBDUN, CBActDUNAskOnlyIfSSActive, CBActDUNTolvar, CBActDUNSys, CBActDUNAuto,
             EditActDUNAutoInterval, LBLActDUNAutoMinutes, CBActDUNThumbs, EditActDUNTimeout}) {
        widget->setEnabled(enabled);
    }
    const QPalette& form = palette();
    SetEditColour(EditActDUNAutoInterval, enabled, form);
    SetEditColour(EditActDUNTimeout, enabled, form);
    SetTextColour(LblActDUNTimeout, enabled, form);
    SetTextColour(LblActDUNTimeoutSeconds, enabled, form);
    CBActDUNAskOnlyIfSSActive->setEnabled(enabled && AskOnlyIfSSActiveAllowed());
}

void TSettingsForm::CLBUseDUNChange() {
    EnableDunControls(CLBUseDUN->currentIndex() != kDunNever);
    CBActDUNAskOnlyIfSSActive->setEnabled(AskOnlyIfSSActiveAllowed());
}

void TSettingsForm::CBLANAlwaysOnClick() {
    const bool dialUpAvailable = !CBLANAlwaysOn->isChecked();
    EnableDunControls(dialUpAvailable && CLBUseDUN->currentIndex() != kDunNever);
    GBUseDUN->setEnabled(dialUpAvailable);
    CLBUseDUN->setEnabled(dialUpAvailable);
    SetTextColour(LblUseDUN, dialUpAvailable, palette());
    CBActDUNAskOnlyIfSSActive->setEnabled(dialUpAvailable && AskOnlyIfSSActiveAllowed());
    LblDUN->setText(dialUpAvailable ? kLblDUNEnabled : kLblDUNDisabled);
}

void TSettingsForm::ConfirmUncheck(QCheckBox* box, const QString& text) {
    if (box->isChecked()) {
        return;
    }
    platform::MessageBoxRequest question;
    question.caption = kCaption.toStdString();
    question.text = text.toStdString();
    question.icon = platform::MessageBoxIcon::Warning;
    question.buttons = platform::MessageBoxButtons::YesNo;
    if (platform::AskMessageBox(question, this) != platform::MessageBoxAnswer::Yes) {
        box->setChecked(true);
    }
}

void TSettingsForm::CBSysAutostartBaseAppClick() {
    ConfirmUncheck(CBSysAutostartBaseApp, kConfirmAutostartBaseApp);
}

void TSettingsForm::CBSysAutoregisterSaverClick() {
    ConfirmUncheck(CBSysAutoregisterSaver, kConfirmAutoregisterSaver);
}

void TSettingsForm::BtnOKClick() {
    SettingsValues v;
    v.MessageInterval = Clamp(ParseDecimal(EditMessageInterval->text(), 0), kMessageIntervalRange);
    v.TickerSpeed = Clamp(TrackBarTickerSpeed->value(), kTickerSpeedRange);
    v.SyncInterval = syncInterval_;
    v.ActLANTolvar = CBActLANTolvar->isChecked();
    v.ActLANSys = CBActLANSys->isChecked();
    v.ActLANAuto = CBActLANAuto->isChecked();
    v.ActLANAutoInterval =
        Clamp(ParseDecimal(EditActLANAutoInterval->text(), 0), kAutoIntervalRange);
    v.ActLANThumbs = CBActLANThumbs->isChecked();
    v.ActLANTimeout =
        Clamp(ParseDecimal(EditActLANTimeout->text(), kTimeoutFallback), kTimeoutRange);
    v.ActLANAlwaysOn = CBLANAlwaysOn->isChecked();
    v.ActDUNTolvar = CBActDUNTolvar->isChecked();
    v.ActDUNSys = CBActDUNSys->isChecked();
    v.ActDUNAuto = CBActDUNAuto->isChecked();
    v.ActDUNAutoInterval =
        Clamp(ParseDecimal(EditActDUNAutoInterval->text(), 0), kAutoIntervalRange);
    v.ActDUNThumbs = CBActDUNThumbs->isChecked();
    v.UseDUN = CLBUseDUN->currentIndex() != kDunNever;
    v.ActDUNMsgBox = CLBUseDUN->currentIndex();
    v.ActDUNTimeout =
        Clamp(ParseDecimal(EditActDUNTimeout->text(), kTimeoutFallback), kTimeoutRange);
    v.ActDUNAskOnlyIfSSActive = CBActDUNAskOnlyIfSSActive->isChecked();
    v.SysAutostartBaseapp = CBSysAutostartBaseApp->isChecked();
    v.SysAutoregisterSaver = CBSysAutoregisterSaver->isChecked();

    bool saved = false;
    {
        const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
        try {
            // All values in one transaction of the user hive: the control program never
            // reads half of them, and one locked, synced write instead of one per value.
            platform::RegistryTransaction transaction(platform::Hive::CurrentUser);
            WriteAll(settings, v);
            transaction.Commit();
        } catch (const platform::RegistryError&) {
            // Nothing written: the read-back below tells the user.
        }
        // The settings layer drops a failed write silently; reading back tells whether
        // the values now in effect are the ones the user chose.
        saved = ReadAll(settings) == v;
    }
    if (!saved) {
        platform::AskMessageBox(
            {kCaption.toStdString(), kSaveFailed.toStdString(), platform::MessageBoxIcon::Stop},
            this);
        return;
    }
    IpcBroadcastSettingsChanged();
    accept();
}

void TSettingsForm::BtnCancelClick() {
    reject();
}
