#pragma once

// The message model: the channel items that the message window and the ticker show.
//
// AXMessage is one item; AXMessageImage one thumbnail, shared by the items that show the
// same picture at the same size and found through one registry of the live thumbnails;
// AXMessageList a lock-guarded list of items that can copy itself in random order.
//
// Items and thumbnails are counted by hand (AddRef/Release) because the screen builder's
// channel list and each widget's pending and display lists hold the same items and the
// counts are part of what those users rely on: an item starts at 0 and its first list
// takes the first reference; a thumbnail starts at 1, the reference of the item that made
// it. The counts are atomic, so the main thread and the ticker's timer thread may add
// and release references at the same time; the last Release destroys the object on
// whichever thread makes it. Both are made with new and never deleted directly.

#include "saver/aximage.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A reference-counted thumbnail: an AXImage (its ScaleDivisor is the size divisor) that
// is never shown as a control of its own; widgets paint its picture onto their canvas.
// Registered from construction to destruction. The screen builder's channel reader (on
// the main thread or on the reload's worker) makes it with its Key and ScaleDivisor,
// which are set before it is registered and never change, and loads the picture before
// it shares the thumbnail; from then on only the count changes, on any thread.
//
// A JPEG thumbnail may instead be left to decode when it is first painted: the screen
// builder gives it only the file; its size is read from the file's header when a painter
// first asks for it, and the first painter's Realize decodes it at its divisor, each
// holding CanvasLock, on whichever thread paints. Start-up thus reads no picture, and
// only the sizes that are shown are decoded, each once. Such a thumbnail's control size
// stays 0 x 0: painters go by PictureSize.
class AXMessageImage : public AXImage {
public:
    AXMessageImage();
    // With its key and divisor in place before any look-up can find it.
    AXMessageImage(std::string key, int divisor);

    // The picture is decoded from this JPEG file at ScaleDivisor by Realize. Main thread,
    // before the thumbnail is shared.
    void SetPendingJpeg(std::string path);
    // Decodes a pending picture (once; a file that fails leaves it null). Hold
    // CanvasLock. Any thread.
    void Realize();
    // The picture's size, also before it is decoded (from the file's header; 0 x 0 when
    // that cannot be read or the decode failed). Hold CanvasLock. Any thread.
    QSize PictureSize() const;

    // The ImageUri of the items that share this thumbnail; empty on construction.
    std::string Key;

    std::int32_t RefCount() const { return refCount_.load(); }
    AXMessageImage* AddRef();
    // Drops one reference; at 0 or less the thumbnail is destroyed.
    void Release();

    // The live thumbnail registered last whose Key equals key exactly and whose
    // ScaleDivisor equals divisor (both as given at construction), with one reference added for the
    // caller; null when none matches. A thumbnail whose last reference is being released is not
    // found. Any thread, as long as no thread changes the Key or ScaleDivisor of a registered
    // thumbnail meanwhile (the channel reader never does).
    static AXMessageImage* FindShared(const std::string& key, int divisor);

private:
    ~AXMessageImage() override;
    AXMessageImage(const AXMessageImage&) = delete;
    AXMessageImage& operator=(const AXMessageImage&) = delete;

    std::atomic<std::int32_t> refCount_{1};
    // The look-up's slot: Key and ScaleDivisor as they were at construction.
    const std::string registeredKey_;
    const int registeredDivisor_;
    // Guarded by CanvasLock once shared.
    std::string pendingPath_;
    mutable std::optional<QSize> pendingSize_;
    bool pending_ = false;
};

// One channel item: texts, link, picture key and path, and up to four thumbnails of its
// picture at the size divisors 1, 2, 4 and 8, each holding one reference for the item.
// Plain data; the fields are filled by the screen builder's channel reader (main thread or
// the reload's worker) before the item is handed on, and read-only afterwards except
// Retiring.
class AXMessage {
public:
    AXMessage() = default;
    AXMessage(const AXMessage&) = delete;
    AXMessage& operator=(const AXMessage&) = delete;

    std::string ChannelName;
    std::string Title;
    std::string Text;
    std::string Link;
    std::string ImageUri;
    std::string ImagePath;
    // Set by the messenger (main thread) for an item on screen when a new set of items
    // is swapped in; read when the ticker's thread steps past it.
    std::atomic<bool> Retiring{false};
    AXMessageImage* Thumb1 = nullptr;
    AXMessageImage* Thumb2 = nullptr;
    AXMessageImage* Thumb4 = nullptr;
    AXMessageImage* Thumb8 = nullptr;

    // Tells this item apart from every other item made by the process, also one made
    // later at the same address (the ticker keys its cell pictures with it).
    const std::uint64_t Serial = NextSerial();

    std::int32_t RefCount() const { return refCount_.load(); }
    AXMessage* AddRef();
    // Drops one reference; at 0 or less the item is destroyed, releasing Thumb8, Thumb4,
    // Thumb2 and Thumb1 in this order.
    void Release();

private:
    ~AXMessage();
    static std::uint64_t NextSerial();

    std::atomic<std::int32_t> refCount_{0};
};

// A list of items without duplicates, holding one reference to each, guarded by one
// re-entrant lock that every operation takes. Count is kept beside the list so that
// readers on either thread can test it without the lock. Any thread may call any
// operation; the list is owned by its creator.
class AXMessageList {
public:
    // Read access to the entries while holding the list's lock (released when the view
    // goes out of scope). Operations of the same list may be called while it is held.
    class LockedView {
    public:
        const std::vector<AXMessage*>& operator*() const { return *items_; }
        const std::vector<AXMessage*>* operator->() const { return items_; }
        auto begin() const { return items_->begin(); }
        auto end() const { return items_->end(); }

    private:
        friend class AXMessageList;
        LockedView(std::unique_lock<std::recursive_mutex> lock,
                   const std::vector<AXMessage*>* items)
            : lock_(std::move(lock)), items_(items) {}
        std::unique_lock<std::recursive_mutex> lock_;
        const std::vector<AXMessage*>* items_;
    };

    AXMessageList() = default;
    AXMessageList(const AXMessageList&) = delete;
    AXMessageList& operator=(const AXMessageList&) = delete;
    ~AXMessageList();

    // The number of items, read without the lock.
    std::int32_t Count() const { return count_.load(); }

    // Appends the item and takes one reference; an item already in the list (or null)
    // changes nothing.
    void AddMessage(AXMessage* item);
    // Removes the item and releases the list's reference; an item that is not in the
    // list changes nothing.
    void RemoveMessage(AXMessage* item);
    // Releases every item in list order and empties the list.
    void ClearMessages();
    // Adds every item of other, in its order, holding both lists' locks throughout.
    void AppendMessages(AXMessageList& other);
    // A new list holding the same items in random order: each pick is a number drawn
    // from a generator seeded with the current time in whole seconds, modulo the number
    // of items left, so copies of equal lists made within one second have one order.
    std::unique_ptr<AXMessageList> ShuffledCopy();

    LockedView LockList() const;

private:
    mutable std::recursive_mutex mutex_;
    std::vector<AXMessage*> items_;
    std::atomic<std::int32_t> count_{0};
};
