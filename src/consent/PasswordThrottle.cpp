#include "consent/PasswordThrottle.h"

#include <algorithm>

namespace consent {

namespace {

using std::chrono::milliseconds;

// 1 s after the 5th wrong password in a row, 2 s after the 6th, ... 60 s.
milliseconds WaitAfter(unsigned wrong) {
  if (wrong < PasswordThrottle::kFreeTries) return milliseconds::zero();
  const unsigned doublings = std::min(wrong - PasswordThrottle::kFreeTries, 16u);
  return std::min(PasswordThrottle::kFirstWait * (1u << doublings), PasswordThrottle::kLongestWait);
}

}  // namespace

PasswordThrottle& PasswordThrottle::Shared() {
  static PasswordThrottle* const shared = new PasswordThrottle();
  return *shared;
}

PasswordThrottle::PasswordThrottle(std::size_t maxEntries)
    : m_maxEntries(std::max<std::size_t>(maxEntries, 1)) {}

// The origin's length first, so no origin and file key can run together
// into another pair's key.
std::string PasswordThrottle::KeyOf(std::string_view origin, std::string_view fileKey) {
  std::string key = std::to_string(origin.size());
  key += ':';
  key += origin;
  key += fileKey;
  return key;
}

const PasswordThrottle::Entry* PasswordThrottle::Find(const std::string& key) const {
  const auto it = m_index.find(key);
  return it == m_index.end() ? nullptr : &*it->second;
}

bool PasswordThrottle::MayTry(std::string_view origin, std::string_view fileKey,
                              Clock::time_point now) {
  const std::string key = KeyOf(origin, fileKey);
  std::lock_guard lock(m_mutex);
  const Entry* entry = Find(key);
  return !entry || entry->wrong < kFreeTries || now >= entry->waitUntil;
}

void PasswordThrottle::RecordWrong(std::string_view origin, std::string_view fileKey,
                                   Clock::time_point now) {
  std::string key = KeyOf(origin, fileKey);
  std::lock_guard lock(m_mutex);
  auto found = m_index.find(key);
  if (found != m_index.end()) {
    m_entries.splice(m_entries.begin(), m_entries, found->second);
  } else {
    if (m_entries.size() >= m_maxEntries) {
      m_index.erase(m_entries.back().key);
      m_entries.pop_back();
    }
    m_entries.push_front(Entry{std::move(key)});
    m_index.emplace(m_entries.front().key, m_entries.begin());
  }
  Entry& entry = m_entries.front();
  if (entry.wrong < 1000) ++entry.wrong;  // far past the longest wait; never wraps
  entry.waitUntil = now + WaitAfter(entry.wrong);
}

void PasswordThrottle::RecordRight(std::string_view origin, std::string_view fileKey) {
  const std::string key = KeyOf(origin, fileKey);
  std::lock_guard lock(m_mutex);
  const auto found = m_index.find(key);
  if (found == m_index.end()) return;
  const Entries::iterator entry = found->second;
  m_index.erase(found);
  m_entries.erase(entry);
}

milliseconds PasswordThrottle::WaitLeft(std::string_view origin, std::string_view fileKey,
                                        Clock::time_point now) {
  const std::string key = KeyOf(origin, fileKey);
  std::lock_guard lock(m_mutex);
  const Entry* entry = Find(key);
  if (!entry || entry->wrong < kFreeTries || now >= entry->waitUntil) return milliseconds::zero();
  return std::chrono::ceil<milliseconds>(entry->waitUntil - now);
}

std::size_t PasswordThrottle::EntryCount() const {
  std::lock_guard lock(m_mutex);
  return m_entries.size();
}

}  // namespace consent
