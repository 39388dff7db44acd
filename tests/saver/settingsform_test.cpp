#include "common/tolvaripc.h"
#include "platform/bus.h"
#include "platform/registry.h"
#include "saver/settingsform.h"
#include "support/guiapp.h"
#include "support/protocolwindow.h"
#include "support/temphome.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using platform::Access;
using platform::Bus;
using platform::Hive;
using platform::Message;
using platform::RegistryKey;
using platform::WindowHandle;
using Values = std::map<std::string, std::string>;

constexpr const char* kMain = "\\Software\\Brimwald\\Tolvar";

// Every value the dialog writes, in the order it writes them.
const std::vector<std::string> kWrittenNames = {"MessageInterval",
                                                "TickerSpeed",
                                                "SyncInterval",
                                                "ActLANTolvar",
                                                "ActLANSys",
                                                "ActLANAuto",
                                                "ActLANAutoInterval",
                                                "ActLANThumbs",
                                                "ActLANTimeout",
                                                "ActLANAlwaysOn",
                                                "ActDUNTolvar",
                                                "ActDUNSys",
                                                "ActDUNAuto",
                                                "ActDUNAutoInterval",
                                                "ActDUNThumbs",
                                                "UseDUN",
                                                "ActDUNMsgBox",
                                                "ActDUNTimeout",
                                                "ActDUNAskOnlyIfSSActive",
                                                "SysAutostartBaseapp",
                                                "SysAutoregisterSaver"};

void Put(Hive hive, const std::string& name, std::uint32_t value) {
    auto key = RegistryKey::Open(hive, kMain, Access::ReadWrite, true);
    ASSERT_TRUE(key);
    key->WriteInteger(name, value);
}

// The user's values as decimal numbers (a negative number as written: -1 is 4294967295).
Values UserValues() {
    Values values;
    auto key = RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read);
    if (!key) {
        return values;
    }
    for (const std::string& name : key->ValueNames()) {
        values[name] = std::to_string(key->ReadInteger(name));
    }
    return values;
}

std::string Bool(bool b) {
    return b ? "1" : "0";
}

// What the controls show, by the setting each edits (check boxes 1 or 0).
Values Shown(const TSettingsForm& f) {
    return {
        {"MessageInterval", f.EditMessageInterval->text().toStdString()},
        {"TickerSpeed", std::to_string(f.TrackBarTickerSpeed->value())},
        {"ActLANTolvar", Bool(f.CBActLANTolvar->isChecked())},
        {"ActLANSys", Bool(f.CBActLANSys->isChecked())},
        {"ActLANAuto", Bool(f.CBActLANAuto->isChecked())},
        {"ActLANAutoInterval", f.EditActLANAutoInterval->text().toStdString()},
        {"ActLANThumbs", Bool(f.CBActLANThumbs->isChecked())},
        {"ActLANTimeout", f.EditActLANTimeout->text().toStdString()},
        {"ActLANAlwaysOn", Bool(f.CBLANAlwaysOn->isChecked())},
        {"ActDUNTolvar", Bool(f.CBActDUNTolvar->isChecked())},
        {"ActDUNSys", Bool(f.CBActDUNSys->isChecked())},
        {"ActDUNAuto", Bool(f.CBActDUNAuto->isChecked())},
        {"ActDUNAutoInterval", f.EditActDUNAutoInterval->text().toStdString()},
        {"ActDUNThumbs", Bool(f.CBActDUNThumbs->isChecked())},
        {"CLBUseDUN", std::to_string(f.CLBUseDUN->currentIndex())},
        {"ActDUNTimeout", f.EditActDUNTimeout->text().toStdString()},
        {"ActDUNAskOnlyIfSSActive", Bool(f.CBActDUNAskOnlyIfSSActive->isChecked())},
        {"SysAutostartBaseapp", Bool(f.CBSysAutostartBaseApp->isChecked())},
        {"SysAutoregisterSaver", Bool(f.CBSysAutoregisterSaver->isChecked())},
    };
}

// Answers the next message box that runs modally (a box runs its own event loop, where the
// queued call finds it). Flush() lets the queued call run when no box came.
class BoxAnswerer {
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons; // sorted
    };

    explicit BoxAnswerer(QMessageBox::StandardButton answer) : state_(std::make_shared<State>()) {
        auto state = state_;
        QTimer::singleShot(0, [state, answer] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            QStringList buttons;
            for (QAbstractButton* button : box->buttons()) {
                buttons.push_back(button->text());
            }
            buttons.sort();
            state->seen = Seen{box->windowTitle(), box->text(), box->icon(), buttons};
            if (QAbstractButton* button = box->button(answer)) {
                button->click();
            } else {
                box->reject();
            }
        });
    }
    void Flush() { QCoreApplication::processEvents(); }
    const std::optional<Seen>& Box() const { return state_->seen; }

private:
    struct State {
        std::optional<Seen> seen;
    };
    std::shared_ptr<State> state_;
};

class SettingsFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        tolvar::test::EnsureGuiApp();
        bus = std::make_unique<Bus>();
        saver.emplace(*bus);
    }
    void TearDown() override {
        saver.reset();
        bus.reset();
    }

    // Protocol codes with their first parameter that our window has received.
    std::vector<std::pair<std::int64_t, std::int64_t>> Received() { return saver->Received(); }

    tolvar::test::TempHome home;
    std::unique_ptr<Bus> bus;
    std::optional<tolvar::test::SaverProtocolWindow> saver;
};

// ---- opening ----

TEST_F(SettingsFormTest, OpensOnTheViewPageWithTheDefaultsWhenNoHiveExists) {
    TSettingsForm form;
    EXPECT_EQ(Shown(form), (Values{{"MessageInterval", "15"},
                                   {"TickerSpeed", "1"}, // the default 0, clamped
                                   {"ActLANTolvar", "0"},
                                   {"ActLANSys", "0"},
                                   {"ActLANAuto", "1"},
                                   {"ActLANAutoInterval", "10"},
                                   {"ActLANThumbs", "1"},
                                   {"ActLANTimeout", "25"},
                                   {"ActLANAlwaysOn", "0"},
                                   {"ActDUNTolvar", "0"},
                                   {"ActDUNSys", "0"},
                                   {"ActDUNAuto", "0"},
                                   {"ActDUNAutoInterval", "20"},
                                   {"ActDUNThumbs", "1"},
                                   {"CLBUseDUN", "0"},
                                   {"ActDUNTimeout", "45"},
                                   {"ActDUNAskOnlyIfSSActive", "0"},
                                   {"SysAutostartBaseapp", "1"},
                                   {"SysAutoregisterSaver", "1"}}));

    EXPECT_EQ(form.windowTitle(), "Tolvar-Einstellungen");
    EXPECT_EQ(form.size(), QSize(446, 320));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_FALSE(form.windowFlags() & Qt::WindowContextHelpButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    const QStringList captions = {"Ansicht", "LAN-Einstellungen", "DFÜ-Einstellungen", "System",
                                  "Software Update"};
    ASSERT_EQ(form.PageControl->count(), captions.size());
    for (int i = 0; i < captions.size(); ++i) {
        EXPECT_EQ(form.PageControl->tabText(i), captions[i]);
        EXPECT_EQ(form.PageControl->isTabVisible(i), i < 4) << i;
    }
    EXPECT_EQ(form.PageControl->currentIndex(), 0);
    EXPECT_EQ(form.CLBUseDUN->count(), 4);
    EXPECT_EQ(form.CLBUseDUN->itemText(3), "Ohne Rückfrage");
    EXPECT_EQ(form.TrackBarTickerSpeed->minimum(), 1);
    EXPECT_EQ(form.TrackBarTickerSpeed->maximum(), 3);
    EXPECT_TRUE(form.BtnOK->isDefault());
    EXPECT_EQ(form.LblDUN->text(), TSettingsForm::kLblDUNEnabled);
}

// Every text a page shows (group titles, labels, check boxes), sorted.
std::vector<std::string> TextsOn(const QWidget* page) {
    std::vector<std::string> texts;
    for (const QGroupBox* group : page->findChildren<QGroupBox*>()) {
        texts.push_back(group->title().toStdString());
    }
    for (const QLabel* label : page->findChildren<QLabel*>()) {
        texts.push_back(label->text().toStdString());
    }
    for (const QCheckBox* box : page->findChildren<QCheckBox*>()) {
        texts.push_back(box->text().toStdString());
    }
    std::sort(texts.begin(), texts.end());
    return texts;
}

TEST_F(SettingsFormTest, EveryPageShowsItsGermanTextsExactly) {
    TSettingsForm form;
    const std::string search = "Neue Nachrichten suchen:";
    const std::string onSaver = "Beim Aktivieren des Bildschirmschoners";
    const std::string onStart = "Sofort nach Systemstart / Anmeldung";
    const std::string every = "Automatisch alle";
    const std::string thumbs = "Mini-Grafiken der Nachrichten laden, falls vorhanden";
    struct Page {
        const QWidget* page;
        std::vector<std::string> texts;
    };
    // Long texts are split over lines; no comma is missing.
    // NOLINTBEGIN(bugprone-suspicious-missing-comma)
    const Page pages[] = {
        {form.TabView,
         {"Ticker", "Einzelnachricht",
          "Legen Sie hier die Geschwindigkeit des Tickers fest. Langsam laufende Ticker "
          "benötigen weniger Systemressourcen als schnelle, werden aber vom Auge bisweilen als "
          "\"ruckelnd\" empfunden.",
          "Geschwindigkeit:", "schnell", "langsam",
          "Bestimmen Sie, mit welcher Frequenz der Inhalt des Nachrichtenfensters durch eine "
          "neue Nachricht ersetzt wird.",
          "Nachrichtenwechsel:", "alle", "Sekunden"}},
        {form.TabLAN,
         {"Hier legen Sie fest, wie sich die Software verhält, wenn eine permanente Verbindung "
          "zum Internet besteht, beispielsweise über ein lokales Netzwerk (LAN).",
          search, onSaver, onStart, every, "Minuten", thumbs, "Timeout:", "Sekunden",
          "Windows-Fehler zur Erkennung der Internet-Verbindung übersteuern:",
          "Dieser Computer verfügt über eine permanente Verbindung mit dem Internet."}},
        {form.TabDUN,
         {"Hier legen Sie fest, wie die Software sich verhält, wenn die Verbindung zum Internet "
          "durch eine Einwahlverbindung hergestellt werden muß, beispielsweise über Modem oder "
          "ISDN.",
          search, onSaver, onStart, every, "Minuten", thumbs, "Timeout:", "Sekunden",
          "Verbindungsaufbau", "Wählverbindung automatisch aufbauen:",
          "Nur fragen, wenn Bildschirmschoner aktiv (nicht bei der Arbeit stören)"}},
        {form.TabSystem,
         {"Hier legen Sie fest, wie sich die Software beim Systemstart bzw. bei der Anmeldung "
          "am Betriebssystem verhält.",
          "Verhalten bei Systemstart / Anmeldung", "Saververwaltung automatisch starten",
          "Tolvar automatisch als Standard-Bildschirmschoner festlegen",
          "Die Saververwaltung versorgt den Tolvar mit aktuellen Nachrichten und unterstützt ihn "
          "beim Öffnen von Nachrichtenartikeln aus dem Internet.",
          "Achtung:",
          "Das Deaktivieren dieser Optionen wird nicht empfohlen, da anderenfalls wichtige "
          "Funktionen der Software nicht zur Verfügung stehen.",
          "Im akuten Bedarfsfall (z.B. permanenter Speicherplatzmangel) können Sie allerdings "
          "alternativ die Saververwaltung über das Startmenü aufrufen und beenden sowie den "
          "Schoner starten."}},
    };
    // NOLINTEND(bugprone-suspicious-missing-comma)
    for (const Page& p : pages) {
        std::vector<std::string> expected = p.texts;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(TextsOn(p.page), expected);
    }

    // Each check box edits the setting its caption names.
    const std::pair<const QCheckBox*, std::string> boxes[] = {
        {form.CBActLANTolvar, onSaver},
        {form.CBActLANSys, onStart},
        {form.CBActLANAuto, every},
        {form.CBActLANThumbs, thumbs},
        {form.CBActDUNTolvar, onSaver},
        {form.CBActDUNSys, onStart},
        {form.CBActDUNAuto, every},
        {form.CBActDUNThumbs, thumbs},
        {form.CBSysAutostartBaseApp, "Saververwaltung automatisch starten"},
        {form.CBSysAutoregisterSaver,
         "Tolvar automatisch als Standard-Bildschirmschoner festlegen"},
    };
    for (const auto& [box, text] : boxes) {
        EXPECT_EQ(box->text().toStdString(), text);
    }
    EXPECT_EQ(form.GBDUN->title().toStdString(), search);
    EXPECT_EQ(form.GBUseDUN->title().toStdString(), "Verbindungsaufbau");
    EXPECT_EQ(form.LBLActDUNAutoMinutes->text().toStdString(), "Minuten");
    EXPECT_EQ(form.LblActDUNTimeout->text().toStdString(), "Timeout:");
    EXPECT_EQ(form.LblActDUNTimeoutSeconds->text().toStdString(), "Sekunden");
    std::vector<std::string> items;
    for (int i = 0; i < form.CLBUseDUN->count(); ++i) {
        items.push_back(form.CLBUseDUN->itemText(i).toStdString());
    }
    EXPECT_EQ(items,
              (std::vector<std::string>{"Nie", "Immer fragen", "Nur fragen, falls erforderlich",
                                        "Ohne Rückfrage"}));
    EXPECT_EQ(form.BtnOK->text().toStdString(), "OK");
    EXPECT_EQ(form.BtnCancel->text().toStdString(), "Abbrechen");

    // The dial-up page's explanation once the permanent connection is ticked, and the two
    // confirmation texts.
    form.CBLANAlwaysOn->click();
    EXPECT_EQ(form.LblDUN->text().toStdString(),
              "Die DFÜ-Optionen stehen derzeit nicht zur Verfügung, da Sie auf der Karte "
              "\"LAN-Einstellungen\" angegeben haben, dass dieser Computer über eine "
              "permanente Internet-Verbindung verfügt.");
    EXPECT_EQ(TSettingsForm::kConfirmAutostartBaseApp.toStdString(),
              "Sie sind im Begriff, die Option \"Saververwaltung automatisch \nstarten\" zu "
              "deaktivieren.\n\nWenn die Saververwaltung nicht gestartet wird, können "
              "\nNachrichten des Meldungsfensters und des Tickers nicht\nmehr im Browser "
              "geöffnet werden, und der Tolvar wird\nnicht mehr mit aktuellen Nachrichten "
              "versorgt.\n\nWollen Sie das wirklich?");
    EXPECT_EQ(TSettingsForm::kConfirmAutoregisterSaver.toStdString(),
              "Sie sind im Begriff, die Option \"Tolvar automatisch als Standard-"
              "\nBildschirmschoner festlegen\" zu deaktivieren.\n\nWenn der "
              "Tolvar-Bildschirmschoner nicht als Standard festgelegt \nist, stehen wichtige "
              "Funktionen der Software nicht mehr zur\nVerfügung.\n\nWollen Sie das wirklich?");
}

TEST_F(SettingsFormTest, OpensWithTheUsersValuesOverTheMachineValues) {
    Put(Hive::LocalMachine, "MessageInterval", 30);
    Put(Hive::CurrentUser, "MessageInterval", 20);
    Put(Hive::LocalMachine, "ActLANTimeout", 60);
    Put(Hive::LocalMachine, "ActLANAuto", 0);
    Put(Hive::CurrentUser, "ActLANAuto", 1);
    Put(Hive::LocalMachine, "ActDUNThumbs", 0);
    Put(Hive::CurrentUser, "TickerSpeed", 2);
    Put(Hive::CurrentUser, "ActDUNMsgBox", 2);
    Put(Hive::CurrentUser, "ActDUNAskOnlyIfSSActive", 1);
    Put(Hive::LocalMachine, "SysAutoregisterSaver", 0);

    TSettingsForm form;
    const Values shown = Shown(form);
    const std::pair<const char*, const char*> expected[] = {
        {"MessageInterval", "20"},
        {"ActLANTimeout", "60"},
        {"ActLANAuto", "1"},
        {"ActDUNThumbs", "0"},
        {"TickerSpeed", "2"},
        {"CLBUseDUN", "2"},
        {"ActDUNAskOnlyIfSSActive", "1"},
        {"SysAutoregisterSaver", "0"},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(shown.at(name), value) << name;
    }
}

TEST_F(SettingsFormTest, OpeningClampsStoredNumbersIntoTheirRanges) {
    struct Case {
        const char* name;
        std::int32_t stored;
        const char* shown;
    };
    const Case cases[] = {
        {"MessageInterval", 2, "4"},
        {"MessageInterval", 500, "60"},
        {"MessageInterval", -7, "4"},
        {"TickerSpeed", 0, "1"},
        {"TickerSpeed", 9, "3"},
        {"ActLANAutoInterval", 1, "2"},
        {"ActLANAutoInterval", 121, "120"},
        {"ActLANTimeout", 4, "5"},
        {"ActLANTimeout", 181, "180"},
        {"ActDUNAutoInterval", 0, "2"},
        {"ActDUNAutoInterval", 1000, "120"},
        {"ActDUNTimeout", 4, "5"},
        {"ActDUNTimeout", 100000, "180"},
        {"ActLANTimeout", 180, "180"},
    };
    for (const Case& c : cases) {
        Put(Hive::CurrentUser, c.name, static_cast<std::uint32_t>(c.stored));
        TSettingsForm form;
        EXPECT_EQ(Shown(form).at(c.name), c.shown) << c.name << " " << c.stored;
    }
}

TEST_F(SettingsFormTest, OpeningSelectsTheDialUpChoice) {
    struct Case {
        bool useDun;
        std::int32_t msgBox;
        int index;
    };
    const Case cases[] = {
        {true, 0, 0},
        {true, 1, 1},
        {true, 2, 2},
        {true, 3, 3},
        {false, 3, 0},
        {false, 1, 0},
        // A stored index that the list does not have shows "Nie".
        {true, 4, 0},
        {true, -1, 0},
    };
    for (const Case& c : cases) {
        Put(Hive::CurrentUser, "UseDUN", c.useDun ? 1 : 0);
        Put(Hive::CurrentUser, "ActDUNMsgBox", static_cast<std::uint32_t>(c.msgBox));
        TSettingsForm form;
        EXPECT_EQ(form.CLBUseDUN->currentIndex(), c.index) << c.useDun << " " << c.msgBox;
    }
}

TEST_F(SettingsFormTest, OpeningAsksNothingForStartUpOptionsStoredOff) {
    Put(Hive::CurrentUser, "SysAutostartBaseapp", 0);
    Put(Hive::CurrentUser, "SysAutoregisterSaver", 0);
    BoxAnswerer answer(QMessageBox::Yes);
    TSettingsForm form;
    answer.Flush();
    EXPECT_FALSE(answer.Box());
    EXPECT_FALSE(form.CBSysAutostartBaseApp->isChecked());
    EXPECT_FALSE(form.CBSysAutoregisterSaver->isChecked());
}

TEST_F(SettingsFormTest, OpensCentredOnTheScreen) {
    TSettingsForm form;
    form.show();
    const QPoint centre = form.screen()->availableGeometry().center();
    const QPoint formCentre = form.geometry().center();
    EXPECT_LE((formCentre - centre).manhattanLength(), 40)
        << formCentre.x() << "," << formCentre.y() << " vs " << centre.x() << "," << centre.y();
    form.reject();
}

// ---- OK and Cancel ----

TEST_F(SettingsFormTest, OkWritesEveryValueToTheUserHiveAndAnnouncesTheChange) {
    Put(Hive::LocalMachine, "SyncInterval", 33);
    Put(Hive::LocalMachine, "ActLANTimeout", 70);
    Put(Hive::CurrentUser, "MessageInterval", 20);

    TSettingsForm form;
    form.EditMessageInterval->setText("42");
    form.TrackBarTickerSpeed->setValue(3);
    form.CBActLANSys->click();
    form.EditActLANAutoInterval->setText("15");
    form.CLBUseDUN->setCurrentIndex(2); // "Nie" greys the dial-up controls
    form.CBActDUNAuto->click();
    form.CBActDUNAskOnlyIfSSActive->click();
    form.EditActDUNTimeout->setText("90");
    form.BtnOK->click();

    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(UserValues(), (Values{{"MessageInterval", "42"},
                                    {"TickerSpeed", "3"},
                                    {"SyncInterval", "33"}, // written back as read
                                    {"ActLANTolvar", "0"},
                                    {"ActLANSys", "1"},
                                    {"ActLANAuto", "1"},
                                    {"ActLANAutoInterval", "15"},
                                    {"ActLANThumbs", "1"},
                                    {"ActLANTimeout", "70"},
                                    {"ActLANAlwaysOn", "0"},
                                    {"ActDUNTolvar", "0"},
                                    {"ActDUNSys", "0"},
                                    {"ActDUNAuto", "1"},
                                    {"ActDUNAutoInterval", "20"},
                                    {"ActDUNThumbs", "1"},
                                    {"UseDUN", "1"},
                                    {"ActDUNMsgBox", "2"},
                                    {"ActDUNTimeout", "90"},
                                    {"ActDUNAskOnlyIfSSActive", "1"},
                                    {"SysAutostartBaseapp", "1"},
                                    {"SysAutoregisterSaver", "1"}}));
    auto key = RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ValueNames(), kWrittenNames);
    // The machine's values stay as they were.
    auto machine = RegistryKey::Open(Hive::LocalMachine, kMain, Access::Read);
    ASSERT_TRUE(machine);
    EXPECT_EQ(machine->ValueNames(), (std::vector<std::string>{"SyncInterval", "ActLANTimeout"}));

    const std::vector<std::pair<std::int64_t, std::int64_t>> announced = {
        {IPC_SETTINGS_CHANGED, saver->Window()}, {IPC_SETTINGS_FOLLOWUP, saver->Window()}};
    EXPECT_EQ(Received(), announced);
}

TEST_F(SettingsFormTest, OkStoresTypedNumbersClampedIntoTheirRanges) {
    using Edit = QLineEdit* TSettingsForm::*;
    struct Case {
        Edit edit;
        const char* name;
        const char* typed;
        const char* stored;
    };
    const Edit message = &TSettingsForm::EditMessageInterval;
    const Edit lanAuto = &TSettingsForm::EditActLANAutoInterval;
    const Edit lanTimeout = &TSettingsForm::EditActLANTimeout;
    const Edit dunAuto = &TSettingsForm::EditActDUNAutoInterval;
    const Edit dunTimeout = &TSettingsForm::EditActDUNTimeout;
    const Case cases[] = {
        {message, "MessageInterval", "2", "4"},
        {message, "MessageInterval", "500", "60"},
        {message, "MessageInterval", "abc", "4"},
        {message, "MessageInterval", "", "4"},
        {message, "MessageInterval", " 17 ", "17"},
        {message, "MessageInterval", "+17", "17"},
        {message, "MessageInterval", "17s", "4"},
        {message, "MessageInterval", "1.5", "4"},
        {message, "MessageInterval", "-30", "4"},
        // Too large for any integer: still the upper bound, not the lower one.
        {message, "MessageInterval", "99999999999999999999", "60"},
        {message, "MessageInterval", "-99999999999999999999", "4"},
        {lanAuto, "ActLANAutoInterval", "1", "2"},
        {lanAuto, "ActLANAutoInterval", "121", "120"},
        {lanAuto, "ActLANAutoInterval", "x", "2"},
        {dunAuto, "ActDUNAutoInterval", "77", "77"},
        {dunAuto, "ActDUNAutoInterval", "x", "2"},
        // A time-out that is no number counts as 25.
        {lanTimeout, "ActLANTimeout", "x", "25"},
        {lanTimeout, "ActLANTimeout", "4", "5"},
        {lanTimeout, "ActLANTimeout", "181", "180"},
        {dunTimeout, "ActDUNTimeout", "", "25"},
        {dunTimeout, "ActDUNTimeout", "0", "5"},
        {dunTimeout, "ActDUNTimeout", "1000", "180"},
    };
    for (const Case& c : cases) {
        TSettingsForm form;
        (form.*c.edit)->setText(QString::fromUtf8(c.typed));
        form.BtnOK->click();
        EXPECT_EQ(form.result(), QDialog::Accepted) << c.typed;
        EXPECT_EQ(UserValues().at(c.name), c.stored) << c.name << " '" << c.typed << "'";
    }
}

TEST_F(SettingsFormTest, OkStoresTheTickerSpeedAndTheDialUpChoice) {
    struct Case {
        int speed;
        int choice;
        const char* useDun;
        const char* msgBox;
    };
    const Case cases[] = {
        {1, 0, "0", "0"},
        {2, 1, "1", "1"},
        {3, 2, "1", "2"},
        {1, 3, "1", "3"},
    };
    for (const Case& c : cases) {
        TSettingsForm form;
        form.TrackBarTickerSpeed->setValue(c.speed);
        form.CLBUseDUN->setCurrentIndex(c.choice);
        form.BtnOK->click();
        const Values stored = UserValues();
        EXPECT_EQ(stored.at("TickerSpeed"), std::to_string(c.speed));
        EXPECT_EQ(stored.at("UseDUN"), c.useDun) << c.choice;
        EXPECT_EQ(stored.at("ActDUNMsgBox"), c.msgBox) << c.choice;
    }
}

TEST_F(SettingsFormTest, OkAndEnterSaveWhileCancelEscAndCloseWriteAndSendNothing) {
    struct Case {
        const char* how;
        std::function<void(TSettingsForm&)> close;
        bool saves;
    };
    auto key = [](int k) {
        return [k](TSettingsForm& form) {
            QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
            QApplication::sendEvent(&form, &press);
        };
    };
    const Case cases[] = {
        {"OK", [](TSettingsForm& f) { f.BtnOK->click(); }, true},
        {"Enter", key(Qt::Key_Return), true},
        {"Abbrechen", [](TSettingsForm& f) { f.BtnCancel->click(); }, false},
        {"Esc", key(Qt::Key_Escape), false},
        {"close box", [](TSettingsForm& f) { f.close(); }, false},
    };
    for (const Case& c : cases) {
        tolvar::test::RemoveTree(home.ConfigHome());
        saver->Clear();
        TSettingsForm form;
        form.show();
        form.EditMessageInterval->setText("33");
        form.CBActLANTolvar->click();
        form.CLBUseDUN->setCurrentIndex(3);
        c.close(form);
        EXPECT_FALSE(form.isVisible()) << c.how;
        EXPECT_EQ(form.result(), c.saves ? QDialog::Accepted : QDialog::Rejected) << c.how;
        const Values stored = UserValues();
        if (c.saves) {
            EXPECT_EQ(stored.size(), kWrittenNames.size()) << c.how;
            EXPECT_EQ(stored.at("MessageInterval"), "33") << c.how;
            EXPECT_EQ(Received().size(), 2u) << c.how;
        } else {
            EXPECT_TRUE(stored.empty()) << c.how;
            EXPECT_TRUE(Received().empty()) << c.how;
        }
    }
}

TEST_F(SettingsFormTest, AFailedWriteIsReportedAndNothingIsAnnounced) {
    TSettingsForm form;
    form.show();
    form.EditMessageInterval->setText("50");
    // A user hive that does not parse is never rewritten: every write is refused.
    const std::string hive = platform::HiveFilePath(Hive::CurrentUser);
    const std::string damaged = "this is not a hive\n";
    tolvar::test::WriteFile(hive, damaged);

    BoxAnswerer answer(QMessageBox::Ok);
    form.BtnOK->click();
    answer.Flush();
    ASSERT_TRUE(answer.Box());
    EXPECT_EQ(answer.Box()->title, "Tolvar-Einstellungen");
    EXPECT_EQ(answer.Box()->text, TSettingsForm::kSaveFailed);
    EXPECT_EQ(answer.Box()->icon, QMessageBox::Critical);
    EXPECT_EQ(answer.Box()->buttons, QStringList{"OK"});
    EXPECT_TRUE(form.isVisible());
    EXPECT_NE(form.result(), QDialog::Accepted);
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(hive), damaged);

    // Once the hive can be written again, OK saves and closes.
    std::remove(hive.c_str());
    BoxAnswerer none(QMessageBox::Ok);
    form.BtnOK->click();
    none.Flush();
    EXPECT_FALSE(none.Box());
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(UserValues().at("MessageInterval"), "50");
    EXPECT_EQ(Received().size(), 2u);
}

// ---- what is enabled and shown ----

struct DunState {
    bool search;   // GBDUN and every control in it
    bool choice;   // GBUseDUN and CLBUseDUN
    bool askOnly;  // CBActDUNAskOnlyIfSSActive
    bool explains; // LblDUN says why the page is grey
};

DunState StateOf(const TSettingsForm& f) {
    const bool search = f.GBDUN->isEnabled();
    for (QWidget* w : std::initializer_list<QWidget*>{
             f.CBActDUNTolvar, f.CBActDUNSys, f.CBActDUNAuto, f.EditActDUNAutoInterval,
             f.LBLActDUNAutoMinutes, f.CBActDUNThumbs, f.EditActDUNTimeout}) {
        EXPECT_EQ(w->isEnabled(), search) << w->metaObject()->className();
    }
    // Greyed edits take the form's colour and greyed labels the grey-text colour.
    const QPalette& form = f.palette();
    const QColor editColour = search ? form.color(QPalette::Active, QPalette::Base)
                                     : form.color(QPalette::Active, QPalette::Window);
    const QColor labelColour = search ? form.color(QPalette::Active, QPalette::WindowText)
                                      : form.color(QPalette::Disabled, QPalette::WindowText);
    EXPECT_EQ(f.EditActDUNTimeout->palette().color(QPalette::Base), editColour);
    EXPECT_EQ(f.EditActDUNAutoInterval->palette().color(QPalette::Base), editColour);
    EXPECT_EQ(f.LblActDUNTimeout->palette().color(QPalette::WindowText), labelColour);
    EXPECT_EQ(f.LblActDUNTimeoutSeconds->palette().color(QPalette::WindowText), labelColour);

    const bool choice = f.GBUseDUN->isEnabled();
    EXPECT_EQ(f.CLBUseDUN->isEnabled(), choice);
    EXPECT_EQ(f.LblUseDUN->palette().color(QPalette::WindowText),
              choice ? form.color(QPalette::Active, QPalette::WindowText)
                     : form.color(QPalette::Disabled, QPalette::WindowText));
    const bool explains = f.LblDUN->text() == TSettingsForm::kLblDUNDisabled;
    if (!explains) {
        EXPECT_EQ(f.LblDUN->text(), TSettingsForm::kLblDUNEnabled);
    }
    return {search, choice, f.CBActDUNAskOnlyIfSSActive->isEnabled(), explains};
}

std::string Describe(const DunState& s) {
    return "search=" + Bool(s.search) + " choice=" + Bool(s.choice) +
           " askOnly=" + Bool(s.askOnly) + " explains=" + Bool(s.explains);
}

TEST_F(SettingsFormTest, TheDialUpChoiceAndThePermanentConnectionDecideWhatIsEnabled) {
    struct Case {
        bool alwaysOn;
        int choice;
        DunState state;
    };
    const Case cases[] = {
        {false, 0, {false, true, false, false}}, {false, 1, {true, true, true, false}},
        {false, 2, {true, true, true, false}},   {false, 3, {true, true, false, false}},
        {true, 0, {false, false, false, true}},  {true, 1, {false, false, false, true}},
        {true, 2, {false, false, false, true}},  {true, 3, {false, false, false, true}},
    };
    {
        // The colour checks mean something only when grey and normal colours differ.
        TSettingsForm form;
        const QPalette& p = form.palette();
        ASSERT_NE(p.color(QPalette::Active, QPalette::Base),
                  p.color(QPalette::Active, QPalette::Window));
        ASSERT_NE(p.color(QPalette::Active, QPalette::WindowText),
                  p.color(QPalette::Disabled, QPalette::WindowText));
    }
    for (const Case& c : cases) {
        const std::string what =
            "alwaysOn=" + Bool(c.alwaysOn) + " choice=" + std::to_string(c.choice);
        tolvar::test::RemoveTree(home.ConfigHome());
        // As the user gets there: choose first, then tick the permanent connection.
        {
            TSettingsForm form;
            form.CLBUseDUN->setCurrentIndex(c.choice);
            if (c.alwaysOn) {
                form.CBLANAlwaysOn->click();
            }
            EXPECT_EQ(Describe(StateOf(form)), Describe(c.state)) << what << " (clicked)";
            if (c.alwaysOn) {
                // Unticking restores what the choice calls for.
                form.CBLANAlwaysOn->click();
                const Case& open = cases[c.choice];
                EXPECT_EQ(Describe(StateOf(form)), Describe(open.state)) << what << " (unticked)";
            }
        }
        // As stored: the dialog opens in the same state.
        Put(Hive::CurrentUser, "UseDUN", 1);
        Put(Hive::CurrentUser, "ActDUNMsgBox", static_cast<std::uint32_t>(c.choice));
        Put(Hive::CurrentUser, "ActLANAlwaysOn", c.alwaysOn ? 1 : 0);
        TSettingsForm stored;
        EXPECT_EQ(Describe(StateOf(stored)), Describe(c.state)) << what << " (stored)";
    }
}

TEST_F(SettingsFormTest, GreyedDialUpValuesAreStillWritten) {
    Put(Hive::CurrentUser, "ActDUNAuto", 1);
    Put(Hive::CurrentUser, "ActDUNTimeout", 60);
    TSettingsForm form;
    form.CBLANAlwaysOn->click();
    form.BtnOK->click();
    const Values stored = UserValues();
    EXPECT_EQ(stored.at("ActLANAlwaysOn"), "1");
    EXPECT_EQ(stored.at("ActDUNAuto"), "1");
    EXPECT_EQ(stored.at("ActDUNTimeout"), "60");
}

// ---- confirmation of the start-up options ----

TEST_F(SettingsFormTest, UncheckingAStartUpOptionAsksAndNoKeepsItChecked) {
    struct Case {
        QCheckBox* TSettingsForm::*box;
        const char* name;
        QString text;
        QMessageBox::StandardButton answer;
        bool checkedAfter;
    };
    const Case cases[] = {
        {&TSettingsForm::CBSysAutostartBaseApp, "SysAutostartBaseapp",
         TSettingsForm::kConfirmAutostartBaseApp, QMessageBox::No, true},
        {&TSettingsForm::CBSysAutostartBaseApp, "SysAutostartBaseapp",
         TSettingsForm::kConfirmAutostartBaseApp, QMessageBox::Yes, false},
        {&TSettingsForm::CBSysAutoregisterSaver, "SysAutoregisterSaver",
         TSettingsForm::kConfirmAutoregisterSaver, QMessageBox::No, true},
        {&TSettingsForm::CBSysAutoregisterSaver, "SysAutoregisterSaver",
         TSettingsForm::kConfirmAutoregisterSaver, QMessageBox::Yes, false},
    };
    for (const Case& c : cases) {
        TSettingsForm form;
        QCheckBox* box = form.*c.box;
        ASSERT_TRUE(box->isChecked());
        BoxAnswerer answer(c.answer);
        box->click();
        answer.Flush();
        ASSERT_TRUE(answer.Box()) << c.name;
        EXPECT_EQ(answer.Box()->title, "Tolvar-Einstellungen");
        EXPECT_EQ(answer.Box()->text, c.text);
        EXPECT_EQ(answer.Box()->icon, QMessageBox::Warning);
        EXPECT_EQ(answer.Box()->buttons, (QStringList{"Ja", "Nein"}));
        EXPECT_EQ(box->isChecked(), c.checkedAfter) << c.name << " " << c.answer;

        if (!c.checkedAfter) {
            // Checking again asks nothing.
            BoxAnswerer none(QMessageBox::No);
            box->click();
            none.Flush();
            EXPECT_FALSE(none.Box()) << c.name;
            EXPECT_TRUE(box->isChecked());
            BoxAnswerer yes(QMessageBox::Yes);
            box->click();
            yes.Flush();
            EXPECT_TRUE(yes.Box()) << c.name;
            EXPECT_FALSE(box->isChecked());
        }
        form.BtnOK->click();
        EXPECT_EQ(UserValues().at(c.name), c.checkedAfter ? "1" : "0") << c.name;
    }
}

} // namespace
