#include "saver/axmessagelist.h"

#include "platform/ui/pictures.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <unordered_map>
#include <utility>

namespace {

// Every live thumbnail by its key and divisor, each list in registration order: a screen
// of 1 500 items registers thousands, and a look-up or a release must not walk them all.
// Made once on first use and never freed: thumbnails may still be released while the
// program ends.
struct ThumbnailRegistry {
    using Slot = std::pair<std::string, int>;
    struct SlotHash {
        std::size_t operator()(const Slot& slot) const noexcept {
            return std::hash<std::string>()(slot.first) ^ (std::size_t(slot.second) * 0x9e3779b9U);
        }
    };
    std::mutex mutex;
    std::unordered_map<Slot, std::vector<AXMessageImage*>, SlotHash> live;
};

ThumbnailRegistry& Registry() {
    static ThumbnailRegistry* registry = new ThumbnailRegistry;
    return *registry;
}

} // namespace

AXMessageImage::AXMessageImage() : AXMessageImage(std::string(), 1) {}

AXMessageImage::AXMessageImage(std::string key, int divisor)
    : Key(std::move(key)), registeredKey_(Key), registeredDivisor_(divisor) {
    ScaleDivisor = divisor;
    ThumbnailRegistry& registry = Registry();
    const std::lock_guard lock(registry.mutex);
    registry.live[{registeredKey_, registeredDivisor_}].push_back(this);
}

AXMessageImage::~AXMessageImage() {
    ThumbnailRegistry& registry = Registry();
    const std::lock_guard lock(registry.mutex);
    // Left by the slot it was registered in, even if a caller changed Key since.
    const auto slot = registry.live.find({registeredKey_, registeredDivisor_});
    if (slot == registry.live.end()) {
        return;
    }
    std::erase(slot->second, this);
    if (slot->second.empty()) {
        registry.live.erase(slot);
    }
}

void AXMessageImage::SetPendingJpeg(std::string path) {
    pendingPath_ = std::move(path);
    pendingSize_.reset();
    pending_ = true;
}

void AXMessageImage::Realize() {
    if (!pending_) {
        return;
    }
    pending_ = false;
    SetPicture(platform::LoadJpegFile(pendingPath_, ScaleDivisor));
    pendingPath_.clear();
}

QSize AXMessageImage::PictureSize() const {
    if (!pending_) {
        return Picture().size();
    }
    if (!pendingSize_) {
        const auto full = platform::ReadJpegSize(pendingPath_);
        const platform::Size size =
            full ? platform::JpegScaledSize(*full, ScaleDivisor) : platform::Size{0, 0};
        pendingSize_ = QSize(size.width, size.height);
    }
    return *pendingSize_;
}

AXMessageImage* AXMessageImage::AddRef() {
    refCount_.fetch_add(1);
    return this;
}

void AXMessageImage::Release() {
    if (refCount_.fetch_sub(1) - 1 <= 0) {
        delete this;
    }
}

AXMessageImage* AXMessageImage::FindShared(const std::string& key, int divisor) {
    ThumbnailRegistry& registry = Registry();
    const std::lock_guard lock(registry.mutex);
    const auto slot = registry.live.find({key, divisor});
    if (slot == registry.live.end()) {
        return nullptr;
    }
    for (auto it = slot->second.rbegin(); it != slot->second.rend(); ++it) {
        AXMessageImage* image = *it;
        // A thumbnail whose count reached 0 is being destroyed on another thread and
        // only waits for this lock to leave the registry: it must not come back to life.
        std::int32_t count = image->refCount_.load();
        while (count > 0 && !image->refCount_.compare_exchange_weak(count, count + 1)) {
        }
        if (count > 0) {
            return image;
        }
    }
    return nullptr;
}

std::uint64_t AXMessage::NextSerial() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1);
}

AXMessage* AXMessage::AddRef() {
    refCount_.fetch_add(1);
    return this;
}

void AXMessage::Release() {
    if (refCount_.fetch_sub(1) - 1 <= 0) {
        delete this;
    }
}

AXMessage::~AXMessage() {
    for (AXMessageImage* thumb : {Thumb8, Thumb4, Thumb2, Thumb1}) {
        if (thumb != nullptr) {
            thumb->Release();
        }
    }
}

AXMessageList::~AXMessageList() {
    ClearMessages();
}

void AXMessageList::AddMessage(AXMessage* item) {
    if (item == nullptr) {
        return;
    }
    const std::lock_guard lock(mutex_);
    if (std::find(items_.begin(), items_.end(), item) != items_.end()) {
        return;
    }
    items_.push_back(item->AddRef());
    count_.fetch_add(1);
}

void AXMessageList::RemoveMessage(AXMessage* item) {
    const std::lock_guard lock(mutex_);
    const auto it = std::find(items_.begin(), items_.end(), item);
    // Releasing an item the list does not hold would take a reference that belongs to
    // another holder.
    if (it == items_.end()) {
        return;
    }
    items_.erase(it);
    count_.fetch_sub(1);
    item->Release();
}

void AXMessageList::ClearMessages() {
    const std::lock_guard lock(mutex_);
    std::vector<AXMessage*> items;
    items.swap(items_);
    count_.store(0);
    for (AXMessage* item : items) {
        item->Release();
    }
}

void AXMessageList::AppendMessages(AXMessageList& other) {
    if (&other == this) {
        return; // every item is present already
    }
    // Both locks together: two lists appending each other on two threads cannot
    // deadlock.
    const std::scoped_lock lock(mutex_, other.mutex_);
    for (AXMessage* item : other.items_) {
        AddMessage(item);
    }
}

std::unique_ptr<AXMessageList> AXMessageList::ShuffledCopy() {
    auto result = std::make_unique<AXMessageList>();
    const std::lock_guard lock(mutex_);
    std::vector<AXMessage*> left = items_;
    while (!left.empty()) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(seconds));
        const std::size_t pick = generator() % left.size();
        result->AddMessage(left[pick]);
        left.erase(left.begin() + std::ptrdiff_t(pick));
    }
    return result;
}

AXMessageList::LockedView AXMessageList::LockList() const {
    return LockedView(std::unique_lock(mutex_), &items_);
}
