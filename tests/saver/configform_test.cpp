#include "common/cache.h"
#include "common/controlfile.h"
#include "common/directories.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "platform/bus.h"
#include "platform/registry.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/tabrows.h"
#include "saver/configform.h"
#include "support/gifwriter.h"
#include "support/guiapp.h"
#include "support/protocolwindow.h"
#include "support/temphome.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using platform::Bus;
using platform::Message;
using platform::WindowHandle;
using tolvar::test::GifColour;
using tolvar::test::GifWriter;
using tolvar::test::ReadFileOrEmpty;
using tolvar::test::TempHome;
using tolvar::test::WaitUntil;
using tolvar::test::WriteFile;

const std::string kLayoutKey = "#brimwald:///images/prov/base/layout.xml";
const std::string kBannerKey = "#brimwald:///images/prov/banner";

// One channel of a control file.
struct Channel {
    std::string id;
    bool mandatory = false;
    bool byDefault = false;
};

// One topic: title, description and the ids it refers to (display title "T-" + id).
struct Topic {
    std::string title;
    std::string description;
    std::vector<std::string> refs;
};

std::string ControlFileXml(const std::vector<Topic>& topics, const std::vector<Channel>& channels,
                           const std::string& extraChannels = "") {
    std::string xml = "<content time=\"now\">";
    xml += "<layout key=\"prov\" uri=\"" + kLayoutKey + "\" serial=\"1\"/>";
    xml += "<topics>";
    int n = 0;
    for (const Topic& topic : topics) {
        xml += "<topic id=\"t" + std::to_string(++n) + "\" title=\"" + topic.title + "\">";
        if (!topic.description.empty()) {
            xml += "<description>" + topic.description + "</description>";
        }
        for (const std::string& ref : topic.refs) {
            xml += "<channelref id=\"" + ref + "\" displaytitle=\"T-" + ref + "\"/>";
        }
        xml += "</topic>";
    }
    xml += "</topics><channels>";
    for (const Channel& c : channels) {
        xml += "<channel id=\"" + c.id + "\" title=\"" + c.id + "\" uri=\"#feed-" + c.id + "\"";
        if (c.mandatory) {
            xml += " mandatory=\"true\"";
        }
        if (c.byDefault) {
            xml += " subscriptiondefault=\"true\"";
        }
        xml += "/>";
    }
    xml += extraChannels + "</channels></content>";
    return xml;
}

// A GIF of one colour.
std::string PlainGif(int w, int h) {
    const std::vector<GifColour> colours = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}};
    GifWriter writer(std::uint16_t(w), std::uint16_t(h), colours, 0, 1);
    writer.Descriptor(0, 0, std::uint16_t(w), std::uint16_t(h))
        .Pixels(2, std::vector<std::uint8_t>(std::size_t(w) * std::size_t(h), 1))
        .Trailer();
    return writer.Bytes();
}

// The usual topics: one with an optional, a mandatory and a missing channel; one with
// only a mandatory channel and a missing one (no page); one sharing "a" with the first;
// one without references (no page).
const std::vector<Topic> kTopics = {
    {"Nachrichten", "Aktuelles aus aller Welt", {"a", "m", "ghost"}},
    {"Pflicht", "", {"m", "ghost"}},
    {"Sport &amp; Spiel", "", {"b", "a"}},
    {"Leer", "", {}},
};
const std::vector<Channel> kChannels = {
    {"a", false, true}, {"b", false, false}, {"m", true, false}};

class ConfigFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        tolvar::test::EnsureGuiApp();
        bus = std::make_unique<Bus>();
        saver.emplace(*bus);
        platform::SetMessageBoxHandler(
            [this](const platform::MessageBoxRequest& box) { boxes.push_back(box); });
        cacheDir = GetCacheDir();
        subscriptions = GetAppDataDir() + "/" + GetSubscriptionFileName();
    }
    void TearDown() override {
        platform::SetMessageBoxHandler({});
        saver.reset();
        bus.reset();
    }

    // Protocol codes our window has received.
    std::vector<std::int64_t> Received() { return saver->Codes(); }

    TFormConfig::SettingsOpener Opener() {
        return [this](QWidget* owner) { settingsOwners.push_back(owner); };
    }

    // Puts a file into the cache folder and an entry into the index text.
    void Cache(const std::string& key, const std::string& file, const std::string& bytes,
               const std::string& serial = "1") {
        WriteFile(cacheDir + "/" + file, bytes);
        index += file + "|" + serial + "|" + key + "\r\n";
        WriteFile(cacheDir + "/cache.dir", index);
    }
    void CacheControlFile(const std::string& xml) { Cache(GetControlFileKey(), "cf.xml", xml); }
    void CacheLayoutWithBanner(const std::string& bannerFile, const std::string& bytes) {
        Cache(kLayoutKey, "layout.xml",
              "<layout><configbanner src=\"" + kBannerKey + "\" serial=\"1\"/></layout>");
        Cache(kBannerKey, bannerFile, bytes);
    }
    static void SetProvider(const std::string& provider) {
        TolvarSettings("Brimwald", "Tolvar").SetCurrentProvider(provider);
    }

    std::unique_ptr<TFormConfig> StandAlone() {
        auto form = TFormConfig::Create(nullptr, Opener());
        EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes.front().text);
        return form;
    }

    // The saver's own models, loaded the way its main form loads them.
    struct SaverModels {
        explicit SaverModels(const std::string& folder) : cache(folder) {}
        CC cache;
        CF cf;
    };
    std::unique_ptr<SaverModels> LoadSaverModels() {
        auto models = std::make_unique<SaverModels>(cacheDir);
        models->cache.Load();
        const CCObject* entry = models->cache.FindLatest(GetControlFileKey());
        EXPECT_NE(entry, nullptr);
        if (entry != nullptr) {
            models->cf.Load(cacheDir + "/" + entry->file);
        }
        models->cf.LoadSubscriptions(subscriptions);
        return models;
    }

    static std::vector<std::string> Tabs(const TFormConfig& form) {
        std::vector<std::string> tabs;
        for (int i = 0; i < form.PageControlTopics->count(); ++i) {
            tabs.push_back(form.PageControlTopics->tabText(i).toStdString());
        }
        return tabs;
    }
    static QListWidget* List(const TFormConfig& form, int page) {
        return form.PageControlTopics->widget(page)->findChild<QListWidget*>();
    }
    static QLabel* Label(const TFormConfig& form, int page) {
        return form.PageControlTopics->widget(page)->findChild<QLabel*>();
    }
    // A page's items as "title=1" (ticked) or "title=0".
    static std::vector<std::string> Items(const TFormConfig& form, int page) {
        std::vector<std::string> items;
        QListWidget* list = List(form, page);
        for (int i = 0; i < list->count(); ++i) {
            items.push_back(list->item(i)->text().toStdString() + "=" +
                            (list->item(i)->checkState() == Qt::Checked ? "1" : "0"));
        }
        return items;
    }
    // Ticks or unticks an item the way a click on its box does.
    static void Tick(const TFormConfig& form, int page, int item, bool ticked) {
        form.PageControlTopics->setCurrentIndex(page);
        QListWidgetItem* it = List(form, page)->item(item);
        List(form, page)->setCurrentItem(it);
        it->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
    }

    TempHome home;
    std::unique_ptr<Bus> bus;
    std::optional<tolvar::test::SaverProtocolWindow> saver;
    std::vector<platform::MessageBoxRequest> boxes;
    std::vector<QWidget*> settingsOwners;
    std::string cacheDir;
    std::string subscriptions;
    std::string index;
};

// ---- pages and ticks ----

TEST_F(ConfigFormTest, OnePagePerTopicWithAChoiceAndNoMandatoryOrMissingChannel) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->windowTitle().toStdString(), "Tolvar-Konfiguration");
    EXPECT_EQ(form->BtnOK->text().toStdString(), "OK");
    EXPECT_EQ(form->BtnCancel->text().toStdString(), "Abbrechen");
    EXPECT_TRUE(form->BtnOK->isDefault());
    EXPECT_EQ(Tabs(*form), (std::vector<std::string>{"Nachrichten", "Sport && Spiel"}));
    EXPECT_EQ(Items(*form, 0), (std::vector<std::string>{"T-a=1"}));
    EXPECT_EQ(Items(*form, 1), (std::vector<std::string>{"T-b=0", "T-a=1"}));
    EXPECT_EQ(List(*form, 0)->item(0)->sizeHint().height(), 20);
    EXPECT_EQ(form->Selection(), QStringList{"a"});
    EXPECT_FALSE(form->ClosePending());
    EXPECT_TRUE(settingsOwners.empty());
}

TEST_F(ConfigFormTest, TicksComeFromTheSubscriptionsFileOrTheDefaults) {
    const std::vector<Channel> channels = {
        {"a", false, true}, {"b", false, false}, {"m", true, false}};
    struct Case {
        const char* name;
        std::optional<std::string> file;
        std::vector<std::string> page1; // the "Sport" page: b, a
        QStringList selection;
    };
    const Case cases[] = {
        {"no file: the defaults", std::nullopt, {"T-b=0", "T-a=1"}, {"a"}},
        {"file with b", "b\r\n", {"T-b=1", "T-a=0"}, {"b"}},
        {"file with both, LF only", "a\nb\n", {"T-b=1", "T-a=1"}, {"a", "b"}},
        {"empty file: nothing", "", {"T-b=0", "T-a=0"}, {}},
    };
    CacheControlFile(ControlFileXml(kTopics, channels));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(subscriptions);
        if (c.file) {
            WriteFile(subscriptions, *c.file);
        }
        for (bool standAlone : {true, false}) {
            SCOPED_TRACE(standAlone ? "stand-alone" : "inside the saver");
            auto models = LoadSaverModels();
            std::unique_ptr<TFormConfig> form;
            if (standAlone) {
                form = StandAlone();
            } else {
                form =
                    std::make_unique<TFormConfig>(nullptr, &models->cache, &models->cf, Opener());
                form->BuildTopicPages();
            }
            ASSERT_NE(form, nullptr);
            EXPECT_EQ(form->OwnsModels(), standAlone);
            EXPECT_EQ(Items(*form, 1), c.page1);
            EXPECT_EQ(form->Selection(), c.selection);
        }
    }
}

TEST_F(ConfigFormTest, AChannelOfferedTwiceShowsTheSameTickOnEveryPage) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    Tick(*form, 0, 0, false); // "a" on the first page
    EXPECT_EQ(form->Selection(), QStringList{});
    form->PageControlTopics->setCurrentIndex(1);
    EXPECT_EQ(Items(*form, 1), (std::vector<std::string>{"T-b=0", "T-a=0"}));
    Tick(*form, 1, 1, true);
    Tick(*form, 1, 0, true);
    form->PageControlTopics->setCurrentIndex(0);
    EXPECT_EQ(Items(*form, 0), (std::vector<std::string>{"T-a=1"}));
    EXPECT_EQ(form->Selection(), (QStringList{"a", "b"}));
}

TEST_F(ConfigFormTest, ChannelIdsThatDifferOnlyInLetterCaseShareOneTick) {
    CacheControlFile(ControlFileXml({{"Kanäle", "", {"k", "K"}}}, {{"k"}, {"K"}}));
    WriteFile(subscriptions, "");
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    Tick(*form, 0, 0, true);
    EXPECT_EQ(form->Selection(), QStringList{"k"});
    form->PageControlTopics->setCurrentIndex(0);
    form->TopicPageShow(form->PageControlTopics->widget(0));
    EXPECT_EQ(Items(*form, 0), (std::vector<std::string>{"T-k=1", "T-K=1"}));
    form->BtnOK->click();
    EXPECT_EQ(ReadFileOrEmpty(subscriptions), "k\r\nK\r\n");
}

TEST_F(ConfigFormTest, EightTopicsAllHaveReachableTabsInSeveralRows) {
    const std::vector<Topic> topics = {
        {"Nachrichten", "", {"a"}}, {"Sport", "", {"a"}},        {"Wirtschaft", "", {"a"}},
        {"Kultur", "", {"a"}},      {"Wissenschaft", "", {"b"}}, {"Reisen", "", {"b"}},
        {"Gesundheit", "", {"b"}},  {"Unterhaltung", "", {"b"}},
    };
    CacheControlFile(ControlFileXml(topics, kChannels));
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    form->show();
    platform::TabRows& tabs = *form->PageControlTopics;
    ASSERT_EQ(tabs.count(), 8);
    EXPECT_GT(tabs.Rows().size(), 1u) << "eight tabs do not fit one row of 437 pixels";
    // Every tab shows whole, inside the control, above the page, apart from the others.
    const auto checkLayout = [&tabs] {
        for (int i = 0; i < tabs.count(); ++i) {
            SCOPED_TRACE(i);
            QAbstractButton* tab = tabs.TabButton(i);
            ASSERT_NE(tab, nullptr);
            EXPECT_TRUE(tab->isVisible());
            EXPECT_TRUE(tabs.rect().contains(tab->geometry())) << "inside the control";
            EXPECT_GE(tab->width(), tab->sizeHint().width()) << "the whole caption shows";
            EXPECT_FALSE(tab->geometry().intersects(tabs.PageArea()));
            for (int j = 0; j < i; ++j) {
                EXPECT_FALSE(tabs.TabButton(j)->geometry().intersects(tab->geometry()))
                    << "overlaps tab " << j;
            }
        }
    };
    checkLayout();
    // A click reaches every page, the last one included; its row moves next to the page.
    for (int i = 0; i < tabs.count(); ++i) {
        SCOPED_TRACE(i);
        tabs.TabButton(i)->click();
        EXPECT_EQ(tabs.currentIndex(), i);
        EXPECT_TRUE(tabs.widget(i)->isVisible());
        EXPECT_EQ(Items(*form, i).size(), 1u);
        const auto& bottom = tabs.Rows().back();
        EXPECT_NE(std::find(bottom.begin(), bottom.end(), i), bottom.end());
        checkLayout();
    }
}

TEST(BreakTabsIntoRows, FillsRowsInOrderAndGivesAnOversizedTabItsOwnRow) {
    using Rows = std::vector<std::vector<int>>;
    EXPECT_EQ(platform::BreakTabsIntoRows({}, 100), Rows{});
    EXPECT_EQ(platform::BreakTabsIntoRows({40, 40, 40}, 100), (Rows{{0, 1}, {2}}));
    EXPECT_EQ(platform::BreakTabsIntoRows({50, 50}, 100), (Rows{{0, 1}}));
    EXPECT_EQ(platform::BreakTabsIntoRows({30, 150, 30}, 100), (Rows{{0}, {1}, {2}}));
}

TEST_F(ConfigFormTest, ADescriptionGetsALabelOfItsWrappedHeightPlusEightPixels) {
    const std::string longText(
        "Dies ist eine lange Beschreibung des Themas, die auf der Seite umbrochen werden muss, "
        "weil sie nicht in eine einzige Zeile passt, und sie geht noch ein gutes Stück weiter, "
        "damit es sicher mehrere Zeilen werden.");
    CacheControlFile(ControlFileXml(
        {{"Ohne", "", {"a"}}, {"Kurz", "Kurz", {"a"}}, {"Lang", longText, {"a"}}}, kChannels));
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    ASSERT_EQ(form->PageControlTopics->count(), 3);
    EXPECT_EQ(Label(*form, 0)->height(), 0);
    // The text's height wrapped at the page's width (the page control's 437 less its frame).
    const QFontMetrics metrics(form->font());
    const auto wrappedHeight = [&](const std::string& text) {
        return metrics
            .boundingRect(QRect(0, 0, 429, 1000), Qt::TextWordWrap, QString::fromStdString(text))
            .height();
    };
    EXPECT_EQ(Label(*form, 1)->height(), wrappedHeight("Kurz") + 8);
    EXPECT_EQ(Label(*form, 2)->height(), wrappedHeight(longText) + 8);
    EXPECT_GE(Label(*form, 2)->height() - 8, 2 * metrics.height());
    EXPECT_EQ(Label(*form, 1)->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    EXPECT_EQ(Label(*form, 2)->text().toStdString(), longText);
}

// ---- OK and Cancel ----

TEST_F(ConfigFormTest, OkWritesTheChoiceWithTheMandatoryChannelsAndTellsThePrograms) {
    struct Case {
        const char* name;
        bool standAlone;
        std::int64_t code; // stand-alone asks for a sync, the saver reloads
    };
    const Case cases[] = {{"stand-alone", true, IPC_SYNC_REQUEST},
                          {"inside the saver", false, IPC_RELOAD_AND_SYNC}};
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(subscriptions);
        saver->Clear();
        auto models = LoadSaverModels();
        std::unique_ptr<TFormConfig> form;
        if (c.standAlone) {
            form = StandAlone();
        } else {
            form = std::make_unique<TFormConfig>(nullptr, &models->cache, &models->cf, Opener());
            form->BuildTopicPages();
        }
        ASSERT_NE(form, nullptr);
        Tick(*form, 1, 0, true);  // b
        Tick(*form, 1, 1, false); // a
        form->BtnOK->click();
        EXPECT_EQ(form->result(), QDialog::Accepted);
        // No file existed: the ticks count all the same.
        EXPECT_EQ(ReadFileOrEmpty(subscriptions), "b\r\nm\r\n");
        EXPECT_EQ(Received(), std::vector<std::int64_t>{c.code});
        std::vector<bool> flags;
        for (const CFChannel& channel : form->ControlFile()->channels) {
            flags.push_back(channel.subscribed);
        }
        EXPECT_EQ(flags, (std::vector<bool>{false, true, true}));
    }
}

TEST_F(ConfigFormTest, OkWithoutAChangeWritesAndSendsNothing) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    Tick(*form, 1, 0, true); // b on and off again
    Tick(*form, 1, 0, false);
    form->BtnOK->click();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_FALSE(std::filesystem::exists(subscriptions));
    EXPECT_TRUE(Received().empty());
}

TEST_F(ConfigFormTest, OkUnsubscribesAChannelThatNoPageOffers) {
    // "c" is subscribed by default but no topic offers it.
    CacheControlFile(
        ControlFileXml(kTopics, {{"a", false, true}, {"c", false, true}, {"m", true}}));
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    form->BtnOK->click();
    EXPECT_EQ(ReadFileOrEmpty(subscriptions), "a\r\nm\r\n");
    EXPECT_EQ(Received(), std::vector<std::int64_t>{IPC_SYNC_REQUEST});
}

TEST_F(ConfigFormTest, CancelEscAndTheCloseBoxWriteAndSendNothing) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    const std::vector<std::pair<const char*, std::function<void(TFormConfig&)>>> ways = {
        {"Cancel", [](TFormConfig& f) { f.BtnCancel->click(); }},
        {"Esc", [](TFormConfig& f) { f.reject(); }},
        {"close box", [](TFormConfig& f) { f.close(); }},
    };
    for (const auto& [name, closeIt] : ways) {
        SCOPED_TRACE(name);
        auto form = StandAlone();
        ASSERT_NE(form, nullptr);
        form->show();
        Tick(*form, 1, 0, true);
        closeIt(*form);
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(form->result(), QDialog::Rejected);
        EXPECT_FALSE(std::filesystem::exists(subscriptions));
        EXPECT_TRUE(Received().empty());
        // The model is untouched: b stays unsubscribed.
        EXPECT_FALSE(form->ControlFile()->FindChannel("b")->subscribed);
    }
}

TEST_F(ConfigFormTest, ASubscriptionsFileThatCannotBeWrittenIsNotReportedAsSaved) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    auto models = LoadSaverModels();
    TFormConfig form(nullptr, &models->cache, &models->cf, Opener());
    form.BuildTopicPages();
    std::filesystem::create_directories(subscriptions); // a folder where the file belongs
    Tick(form, 1, 0, true);
    form.BtnOK->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, TFormConfig::kSaveFailed.toStdString());
    EXPECT_EQ(boxes[0].icon, platform::MessageBoxIcon::Stop);
    EXPECT_NE(form.result(), QDialog::Accepted);
    EXPECT_TRUE(Received().empty());
    EXPECT_FALSE(models->cf.FindChannel("b")->subscribed); // the saver's model as before
    EXPECT_EQ(form.Selection(), (QStringList{"a", "b"}));  // the ticks stay for another try

    std::filesystem::remove(subscriptions);
    form.BtnOK->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(ReadFileOrEmpty(subscriptions), "a\r\nb\r\nm\r\n");
    EXPECT_EQ(Received(), std::vector<std::int64_t>{IPC_RELOAD_AND_SYNC});
}

TEST_F(ConfigFormTest, AControlFileReadInPartKeepsTheSubscriptionsItCouldNotRead) {
    // The load ends at the channel with an empty serial: "z" after it is not in the model.
    CacheControlFile(ControlFileXml({{"Alles", "", {"a", "b", "z"}}}, {{"a"}, {"b"}},
                                    "<channel id=\"bad\" serial=\"\"/><channel id=\"z\"/>"));
    WriteFile(subscriptions, "a\r\nz\r\n");
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(Items(*form, 0), (std::vector<std::string>{"T-a=1", "T-b=0"}));
    Tick(*form, 0, 1, true);
    form->BtnOK->click();
    EXPECT_EQ(ReadFileOrEmpty(subscriptions), "a\r\nb\r\nz\r\n");
    EXPECT_EQ(Received(), std::vector<std::int64_t>{IPC_SYNC_REQUEST});
}

TEST_F(ConfigFormTest, ShowModalRunsUntilTheDialogClosesAndGivesItsResult) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    auto models = LoadSaverModels();
    const std::vector<std::pair<QPushButton * TFormConfig::*, int>> buttons = {
        {&TFormConfig::BtnOK, QDialog::Accepted}, {&TFormConfig::BtnCancel, QDialog::Rejected}};
    for (const auto& [button, result] : buttons) {
        TFormConfig form(nullptr, &models->cache, &models->cf, Opener());
        form.BuildTopicPages();
        bool wasVisible = false;
        QTimer::singleShot(0, &form, [&form, &wasVisible, button = button] {
            wasVisible = form.isVisible();
            (form.*button)->click();
        });
        EXPECT_EQ(form.ShowModal(), result);
        EXPECT_TRUE(wasVisible);
        EXPECT_FALSE(form.isVisible());
    }
}

// ---- the settings dialog ----

TEST_F(ConfigFormTest, WithoutATopicWithAChoiceTheSettingsDialogOpensInstead) {
    const std::vector<std::pair<const char*, std::string>> files = {
        {"no topics", ControlFileXml({}, kChannels)},
        {"only mandatory or missing channels", ControlFileXml({kTopics[1], kTopics[3]}, kChannels)},
        {"not a control file", "this is not XML"},
    };
    for (const auto& [name, xml] : files) {
        SCOPED_TRACE(name);
        index.clear();
        settingsOwners.clear();
        CacheControlFile(xml);
        auto form = StandAlone();
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(settingsOwners, std::vector<QWidget*>{form.get()});
        EXPECT_EQ(form->PageControlTopics->count(), 0);
        EXPECT_FALSE(form->isVisible());
        ASSERT_TRUE(form->ClosePending());
        bool finished = false;
        QObject::connect(form.get(), &QDialog::finished, [&finished] { finished = true; });
        // The dialog closes itself once the message loop runs.
        EXPECT_TRUE(WaitUntil([&] {
            QCoreApplication::processEvents();
            return finished;
        }));
        EXPECT_FALSE(form->ClosePending());
        EXPECT_FALSE(form->isVisible());
        EXPECT_FALSE(std::filesystem::exists(subscriptions));
        EXPECT_TRUE(Received().empty());
    }
}

TEST_F(ConfigFormTest, InsideTheSaverWithoutAChoiceShowModalReturnsAtOnce) {
    CacheControlFile(ControlFileXml({kTopics[1]}, kChannels));
    auto models = LoadSaverModels();
    TFormConfig form(nullptr, &models->cache, &models->cf, Opener());
    EXPECT_TRUE(settingsOwners.empty()); // only the pages decide
    form.BuildTopicPages();
    EXPECT_EQ(settingsOwners, std::vector<QWidget*>{&form});
    EXPECT_EQ(form.ShowModal(), QDialog::Rejected);
    EXPECT_FALSE(form.ClosePending());
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(std::filesystem::exists(subscriptions));
    EXPECT_TRUE(Received().empty());
}

TEST_F(ConfigFormTest, TheLinkButtonOpensTheSettingsDialog) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->BtnSettings->text().toStdString(), "Einstellungen...");
    EXPECT_TRUE(form->BtnSettings->font().underline());
    form->BtnSettings->click();
    form->BtnSettings->click();
    EXPECT_EQ(settingsOwners, (std::vector<QWidget*>{form.get(), form.get()}));
    EXPECT_TRUE(Received().empty());
}

// ---- stand-alone start ----

TEST_F(ConfigFormTest, AMissingOrUnreadableCacheGivesOneErrorBoxAndNoDialog) {
    struct Case {
        const char* name;
        std::function<void()> make;
        int step;
    };
    const Case cases[] = {
        {"no cache.dir", [] {}, -1},
        {"cache.dir that cannot be read",
         [this] { std::filesystem::create_directories(cacheDir + "/cache.dir"); }, -1},
        {"no cached control file", [this] { Cache("#other", "x.xml", "<x/>"); }, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(cacheDir);
        std::filesystem::create_directories(cacheDir);
        index.clear();
        boxes.clear();
        c.make();
        EXPECT_EQ(TFormConfig::Create(nullptr, Opener()), nullptr);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Tolvar");
        EXPECT_EQ(boxes[0].icon, platform::MessageBoxIcon::Stop);
        EXPECT_EQ(boxes[0].text,
                  "Fehler:\nDie Installation des Bildschirmschoners scheint beschädigt zu sein. (" +
                      std::to_string(c.step) +
                      ").\nInstallieren Sie die Software neu, und wenden Sie sich an Ihren "
                      "Systemadministrator, falls das Problem fortbesteht.");
        EXPECT_TRUE(settingsOwners.empty());
    }
}

TEST_F(ConfigFormTest, AnUnreadableSubscriptionsFileGivesAnErrorBoxAndNoDialog) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    std::filesystem::create_directories(subscriptions);
    EXPECT_EQ(TFormConfig::Create(nullptr, Opener()), nullptr);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Tolvar");
    EXPECT_FALSE(boxes[0].text.empty());
    EXPECT_TRUE(std::filesystem::is_directory(subscriptions));
}

TEST_F(ConfigFormTest, StandAloneWritesTheControlProgramsAutostartEntry) {
    CacheControlFile(ControlFileXml(kTopics, kChannels));
    TolvarSettings("Brimwald", "Tolvar").SetBaseappPath("/opt/tolvar/TolvarCtrl");
    auto form = StandAlone();
    ASSERT_NE(form, nullptr);
    auto run = platform::RegistryKey::Open(platform::Hive::LocalMachine,
                                           "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                           platform::Access::Read);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->ReadString("TolvarCtrl"), "/opt/tolvar/TolvarCtrl --startup");
}

TEST_F(ConfigFormTest, InsideTheSaverWithoutAModelTheErrorBoxShowsAndNothingIsOffered) {
    TFormConfig form(nullptr, nullptr, nullptr, Opener());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("(4)."), std::string::npos);
    form.BuildTopicPages();
    EXPECT_EQ(form.ShowModal(), QDialog::Rejected);
    form.BtnOK->click();
    EXPECT_TRUE(settingsOwners.empty());
    EXPECT_FALSE(std::filesystem::exists(subscriptions));
    EXPECT_TRUE(Received().empty());
}

// ---- the banner ----

TEST_F(ConfigFormTest, TheBannerSetsTheDialogsWidthAndItsPlace) {
    QImage bmp(120, 30, QImage::Format_RGB32);
    bmp.fill(Qt::green);
    const std::string bmpPath = home.Root() + "/banner.bmp";
    ASSERT_TRUE(bmp.save(QString::fromStdString(bmpPath), "BMP"));
    struct Case {
        const char* name;
        std::string provider;
        std::string file;  // the banner's file name in the cache ("" for none)
        std::string bytes; // its content
        int panelHeight;
        int clientWidth;
        int bannerLeft; // -1: no banner
        int bannerWidth;
    };
    const Case cases[] = {
        {"300 wide", "prov", "b.gif", PlainGif(300, 20), 23, 443, 71, 300},
        {"437 wide", "prov", "b.gif", PlainGif(437, 10), 13, 443, 3, 437},
        {"600 wide", "prov", "b.gif", PlainGif(600, 40), 43, 606, 3, 600},
        {"a bitmap keeps its own size", "prov", "b.bmp", ReadFileOrEmpty(bmpPath), 33, 443, 161,
         120},
        {"another provider", "other", "b.gif", PlainGif(300, 20), 0, 442, -1, 0},
        {"banner not cached", "prov", "", "", 0, 442, -1, 0},
        {"banner that cannot be read", "prov", "b.bmp", "BM broken", 0, 442, -1, 0},
        {"banner of an unknown kind", "prov", "b.png", "whatever", 0, 442, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(cacheDir);
        std::filesystem::create_directories(cacheDir);
        index.clear();
        CacheControlFile(ControlFileXml(kTopics, kChannels));
        if (c.file.empty()) {
            Cache(kLayoutKey, "layout.xml",
                  "<layout><configbanner src=\"" + kBannerKey + "\" serial=\"1\"/></layout>");
        } else {
            CacheLayoutWithBanner(c.file, c.bytes);
        }
        SetProvider(c.provider);
        for (bool standAlone : {true, false}) {
            SCOPED_TRACE(standAlone ? "stand-alone" : "inside the saver");
            auto models = LoadSaverModels();
            std::unique_ptr<TFormConfig> form =
                standAlone
                    ? StandAlone()
                    : std::make_unique<TFormConfig>(nullptr, &models->cache, &models->cf, Opener());
            ASSERT_NE(form, nullptr);
            EXPECT_EQ(form->PanelBanner->height(), c.panelHeight);
            EXPECT_EQ(form->width(), c.clientWidth);
            EXPECT_EQ(form->height(), 318);
            // The pages fill what the banner and the buttons leave.
            EXPECT_EQ(form->PageControlTopics->geometry(),
                      QRect(3, 3, c.clientWidth - 6, 318 - c.panelHeight - 28 - 6));
            // OK and Cancel keep their distance to the right edge.
            EXPECT_EQ(form->BtnOK->x(), c.clientWidth - 170);
            EXPECT_EQ(form->BtnCancel->x(), c.clientWidth - 90);
            if (c.bannerLeft >= 0) {
                EXPECT_EQ(form->ImageBanner->x(), c.bannerLeft);
                EXPECT_EQ(form->ImageBanner->y(), 3);
                EXPECT_EQ(form->ImageBanner->width(), c.bannerWidth);
                const QImage shown = form->ImageBanner->pixmap().toImage();
                EXPECT_EQ(shown.height(), c.panelHeight - 3);
                EXPECT_EQ(form->ImageBanner->size(), shown.size());
                EXPECT_EQ(shown.pixelColor(0, 0), QColor(0, 255, 0));
            } else {
                EXPECT_TRUE(form->ImageBanner->pixmap().isNull());
            }
        }
    }
}

} // namespace
