#include "saver/axmessagelist.h"
#include "support/guiapp.h"
#include "support/jpegwriter.h"
#include "support/temphome.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

constexpr int kDivisors[] = {1, 2, 4, 8};

AXMessage* NewItem(const std::string& title) {
    auto* item = new AXMessage;
    item->Title = title;
    return item;
}

AXMessageImage* NewThumb(const std::string& key, int divisor, const std::string& path = "") {
    auto* thumb = new AXMessageImage(key, divisor);
    if (!path.empty()) {
        thumb->LoadFromFile(path);
    }
    return thumb;
}

// What the screen builder stores: the shared thumbnails of the key when there are any,
// else new ones, each carrying one reference for the item.
void GiveThumbs(AXMessage* item, const std::string& key, const std::string& path = "") {
    item->ImageUri = key;
    AXMessageImage** places[] = {&item->Thumb1, &item->Thumb2, &item->Thumb4, &item->Thumb8};
    for (int i = 0; i < 4; ++i) {
        AXMessageImage* shared = AXMessageImage::FindShared(key, kDivisors[i]);
        *places[i] = shared != nullptr ? shared : NewThumb(key, kDivisors[i], path);
    }
}

// The count of a registered thumbnail of the key at the divisor; 0 when none is live.
std::int32_t LiveThumbCount(const std::string& key, int divisor) {
    AXMessageImage* thumb = AXMessageImage::FindShared(key, divisor);
    if (thumb == nullptr) {
        return 0;
    }
    const std::int32_t count = thumb->RefCount() - 1;
    thumb->Release();
    return count;
}

std::vector<AXMessage*> Entries(const AXMessageList& list) {
    const auto locked = list.LockList();
    return *locked;
}

TEST(AXMessageModel, NewItemsAndThumbnails) {
    AXMessage* item = NewItem("");
    EXPECT_TRUE(item->ChannelName.empty() && item->Title.empty() && item->Text.empty() &&
                item->Link.empty() && item->ImageUri.empty() && item->ImagePath.empty());
    EXPECT_FALSE(item->Retiring);
    EXPECT_EQ(item->Thumb1, nullptr);
    EXPECT_EQ(item->Thumb8, nullptr);
    EXPECT_EQ(item->RefCount(), 0);
    EXPECT_EQ(item->AddRef(), item);
    EXPECT_EQ(item->RefCount(), 1);
    item->Release(); // 0: destroyed

    // An item nobody took a reference to is destroyed by one Release.
    NewItem("never held")->Release();

    auto* blank = new AXMessageImage;
    EXPECT_EQ(blank->RefCount(), 1);
    EXPECT_TRUE(blank->Key.empty());
    EXPECT_EQ(blank->ScaleDivisor, 1);
    blank->Release();
    auto* thumb = new AXMessageImage("new", 1);
    EXPECT_EQ(thumb->RefCount(), 1);
    EXPECT_EQ(AXMessageImage::FindShared("new", 1), thumb);
    EXPECT_EQ(thumb->RefCount(), 2);
    thumb->Release();
    thumb->Release();
    EXPECT_EQ(AXMessageImage::FindShared("new", 1), nullptr);
}

TEST(AXMessageModel, FindSharedMatchesKeyAndDivisorExactly) {
    AXMessageImage* eighth = NewThumb("#brimwald:///t/a.jpg", 8);
    EXPECT_EQ(AXMessageImage::FindShared("#brimwald:///t/a.jpg", 1), nullptr);
    EXPECT_EQ(AXMessageImage::FindShared("#BRIMWALD:///t/a.jpg", 8), nullptr);
    EXPECT_EQ(AXMessageImage::FindShared("#brimwald:///t/a.jp", 8), nullptr);

    AXMessageImage* later = NewThumb("#brimwald:///t/a.jpg", 8);
    AXMessageImage* found = AXMessageImage::FindShared("#brimwald:///t/a.jpg", 8);
    EXPECT_EQ(found, later); // the one registered last
    EXPECT_EQ(later->RefCount(), 2);
    EXPECT_EQ(eighth->RefCount(), 1);
    found->Release();
    later->Release();
    // Once it is gone the earlier one is found again.
    EXPECT_EQ(AXMessageImage::FindShared("#brimwald:///t/a.jpg", 8), eighth);
    eighth->Release();
    eighth->Release();
}

TEST(AXMessageList, AddRemoveAndClear) {
    AXMessageList list;
    AXMessageList other;
    AXMessage* a = NewItem("a");
    AXMessage* b = NewItem("b");
    AXMessage* c = NewItem("c");

    list.AddMessage(a);
    list.AddMessage(b);
    list.AddMessage(a); // already present: nothing changes
    list.AddMessage(nullptr);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(a->RefCount(), 1);
    EXPECT_EQ(Entries(list), (std::vector<AXMessage*>{a, b}));

    // Removing an item the list does not hold leaves the list and the item's holders
    // alone (the other list's reference is not taken away).
    other.AddMessage(c);
    list.RemoveMessage(c);
    list.RemoveMessage(nullptr);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(c->RefCount(), 1);

    other.AddMessage(a);
    EXPECT_EQ(a->RefCount(), 2);
    list.RemoveMessage(a);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(a->RefCount(), 1);
    EXPECT_EQ(Entries(list), (std::vector<AXMessage*>{b}));
    list.RemoveMessage(a); // a second time: no longer there
    EXPECT_EQ(a->RefCount(), 1);

    list.AddMessage(a);
    list.AddMessage(c);
    list.ClearMessages();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(Entries(list).empty());
    EXPECT_EQ(a->RefCount(), 1); // b is destroyed; a and c live on in the other list
    EXPECT_EQ(c->RefCount(), 1);
    list.ClearMessages(); // clearing an empty list is harmless
}

TEST(AXMessageList, AppendMessages) {
    AXMessageList target;
    AXMessageList source;
    AXMessage* a = NewItem("a");
    AXMessage* b = NewItem("b");
    AXMessage* c = NewItem("c");
    target.AddMessage(b);
    source.AddMessage(a);
    source.AddMessage(b);
    source.AddMessage(c);
    target.AppendMessages(source);
    EXPECT_EQ(Entries(target), (std::vector<AXMessage*>{b, a, c}));
    EXPECT_EQ(target.Count(), 3);
    EXPECT_EQ(b->RefCount(), 2);
    EXPECT_EQ(source.Count(), 3);
    target.AppendMessages(target);
    EXPECT_EQ(target.Count(), 3);
    EXPECT_EQ(a->RefCount(), 2);
}

TEST(AXMessageList, ItemsLiveUntilTheirLastHolderReleases) {
    AXMessage* item = NewItem("shared");
    GiveThumbs(item, "#brimwald:///t/shared.jpg");
    AXMessage* twin = NewItem("same picture");
    GiveThumbs(twin, "#brimwald:///t/shared.jpg");
    EXPECT_EQ(twin->Thumb4, item->Thumb4);
    for (int divisor : kDivisors) {
        EXPECT_EQ(LiveThumbCount("#brimwald:///t/shared.jpg", divisor), 2);
    }

    auto channels = std::make_unique<AXMessageList>();
    auto pending = std::make_unique<AXMessageList>();
    auto display = std::make_unique<AXMessageList>();
    channels->AddMessage(item);
    channels->AddMessage(twin);
    pending->AddMessage(item);
    display->AddMessage(item);
    display->AddMessage(twin);
    EXPECT_EQ(item->RefCount(), 3);

    channels.reset();
    display->RemoveMessage(item);
    EXPECT_EQ(item->RefCount(), 1);
    EXPECT_EQ(twin->RefCount(), 1);
    pending.reset(); // the last holder of item: its thumbnails lose one reference each
    for (int divisor : kDivisors) {
        EXPECT_EQ(LiveThumbCount("#brimwald:///t/shared.jpg", divisor), 1);
    }
    display.reset(); // twin goes, and with it the thumbnails
    for (int divisor : kDivisors) {
        EXPECT_EQ(AXMessageImage::FindShared("#brimwald:///t/shared.jpg", divisor), nullptr);
    }
}

TEST(AXMessageList, ShuffledCopies) {
    AXMessageList empty;
    EXPECT_EQ(empty.ShuffledCopy()->Count(), 0);

    AXMessageList one;
    AXMessage* only = NewItem("only");
    one.AddMessage(only);
    auto oneCopy = one.ShuffledCopy();
    EXPECT_EQ(Entries(*oneCopy), (std::vector<AXMessage*>{only}));
    EXPECT_EQ(only->RefCount(), 2);
    oneCopy.reset();
    EXPECT_EQ(only->RefCount(), 1);

    AXMessageList source;
    for (int i = 0; i < 12; ++i) {
        source.AddMessage(NewItem(std::to_string(i)));
    }
    const std::vector<AXMessage*> original = Entries(source);
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    // Two copies made within one second have one order; retry across a second's turn.
    std::unique_ptr<AXMessageList> first;
    std::unique_ptr<AXMessageList> second;
    ASSERT_TRUE(tolvar::test::WaitUntil([&] {
        const auto before = now();
        first = source.ShuffledCopy();
        second = source.ShuffledCopy();
        return now() == before;
    }));
    EXPECT_EQ(Entries(*first), Entries(*second));
    EXPECT_EQ(first->Count(), 12);
    const std::vector<AXMessage*> shuffled = Entries(*first);
    EXPECT_EQ(std::set<AXMessage*>(shuffled.begin(), shuffled.end()),
              std::set<AXMessage*>(original.begin(), original.end()));
    EXPECT_EQ(Entries(source), original); // the source keeps its order
    EXPECT_EQ(original[0]->RefCount(), 3);
}

// The screen builder and the message window on the main thread, the ticker's rebuild on
// its timer thread: references of shared items and thumbnails are added and released on
// both at once, and thumbnails with pictures are destroyed on either thread.
TEST(AXMessageListThreads, BuilderAndTickerShareItems) {
    tolvar::test::EnsureGuiApp();
    TempFolder folder;
    const std::string picture = folder.Path() + "/thumb.jpg";
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(qRgb(200, 40, 40));
    WriteFile(picture, tolvar::test::JpegBytes(image));

    AXMessageList pending;
    std::atomic<bool> stop{false};
    std::atomic<int> rebuilds{0};
    std::thread ticker([&] {
        AXMessageList display;
        while (!stop.load()) {
            if (pending.Count() > 0) {
                display.ClearMessages();
                display.AppendMessages(pending);
                const auto locked = display.LockList();
                for (AXMessage* item : locked) {
                    (void)item->Thumb2->Picture().width();
                    item->Retiring = !item->Retiring;
                }
            }
            rebuilds.fetch_add(1);
        }
        display.ClearMessages();
    });

    for (int round = 0; round < 300; ++round) {
        AXMessageList channels;
        for (int i = 0; i < 6; ++i) {
            AXMessage* item = NewItem("item");
            GiveThumbs(item, "#brimwald:///t/" + std::to_string((round + i) % 4) + ".jpg", picture);
            channels.AddMessage(item);
        }
        std::unique_ptr<AXMessageList> shuffled = channels.ShuffledCopy();
        pending.ClearMessages();
        pending.AppendMessages(*shuffled);
        if (round % 3 == 0) {
            pending.RemoveMessage(Entries(pending).front());
        }
    }
    ASSERT_TRUE(tolvar::test::WaitUntil([&] { return rebuilds.load() > 10; }));
    stop = true;
    ticker.join();
    pending.ClearMessages();
    for (int key = 0; key < 4; ++key) {
        for (int divisor : kDivisors) {
            EXPECT_EQ(AXMessageImage::FindShared("#brimwald:///t/" + std::to_string(key) + ".jpg",
                                                 divisor),
                      nullptr);
        }
    }
}

// A thumbnail whose last reference goes on the ticker's thread must not be handed out
// by FindShared on the main thread while it is being destroyed.
TEST(AXMessageListThreads, FindSharedNeverRevivesADyingThumbnail) {
    AXMessageList handover;
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop.load()) {
            handover.ClearMessages();
        }
    });
    for (int round = 0; round < 20000; ++round) {
        AXMessage* item = NewItem("race");
        item->Thumb1 = NewThumb("race", 1);
        handover.AddMessage(item);
        if (AXMessageImage* shared = AXMessageImage::FindShared("race", 1)) {
            EXPECT_GE(shared->RefCount(), 1);
            shared->Release();
        }
    }
    stop = true;
    ticker.join();
    handover.ClearMessages();
    EXPECT_EQ(AXMessageImage::FindShared("race", 1), nullptr);
}

// Two lists appending each other from two threads finish.
TEST(AXMessageListThreads, MutualAppendDoesNotDeadlock) {
    AXMessageList left;
    AXMessageList right;
    left.AddMessage(NewItem("l"));
    right.AddMessage(NewItem("r"));
    std::thread other([&] {
        for (int i = 0; i < 20000; ++i) {
            right.AppendMessages(left);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        left.AppendMessages(right);
    }
    other.join();
    EXPECT_EQ(left.Count(), 2);
    EXPECT_EQ(right.Count(), 2);
    EXPECT_EQ(Entries(left).front()->RefCount(), 2);
}

} // namespace
