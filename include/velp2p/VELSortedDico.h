// The dictionary behind VELHashDico and VELHashDicoS: keys to untyped pointers, iterated in key order.
#ifndef VELP2P_VELSORTEDDICO_H
#define VELP2P_VELSORTEDDICO_H

#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

// Entries are kept sorted by key, so every walk (Next, ForEach, begin/end) visits them in ascending key order
// whatever the order of insertion; lists built from a dictionary are therefore reproducible. The dictionary
// never owns its values: removing an entry or emptying the dictionary leaves the pointed objects alone.
//
// Next keeps the state of a walk in the caller's two integers: bucket identifies the walk and position counts
// the entries it returned. The dictionary remembers, per walk, where it stands, so that walking the whole
// dictionary costs one step per entry. When the dictionary changes between two calls (an insertion, a
// removal, including removal of the entry just returned), the walk resumes after the last key it returned:
// every entry present from start to end is visited exactly once, and entries added behind the walk are
// visited too.
template <class Key>
class VELSortedDico {
 public:
  typedef std::map<Key, void*> Map;
  typedef typename Map::const_iterator const_iterator;

  // The size is a hint from hash-table days and is not needed by a sorted dictionary.
  explicit VELSortedDico(int size = 0) { (void)size; }
  // A copy takes the entries, not the walks in progress.
  VELSortedDico(const VELSortedDico& other) : _entries(other._entries) {}
  VELSortedDico& operator=(const VELSortedDico& other) {
    if (this != &other) {
      _entries = other._entries;
      _cursors.clear();
      ++_version;
    }
    return *this;
  }

  bool operator==(const VELSortedDico& other) const { return _entries == other._entries; }
  bool operator!=(const VELSortedDico& other) const { return _entries != other._entries; }

  // Non-zero when stored; 0 when the key is already present, in which case nothing is replaced.
  int Insert(const Key& key, void* value) {
    if (!_entries.emplace(key, value).second)
      return 0;
    ++_version;
    return 1;
  }
  // The value stored under key, or null when the key is absent (a stored null reads the same).
  void* Locate(const Key& key) const {
    typename Map::const_iterator at = _entries.find(key);
    return at == _entries.end() ? nullptr : at->second;
  }
  // Removes key and returns its value, or null when the key was absent.
  void* Remove(const Key& key) {
    typename Map::iterator at = _entries.find(key);
    if (at == _entries.end())
      return nullptr;
    void* value = at->second;
    _entries.erase(at);
    ++_version;
    return value;
  }
  void RemoveAll() {
    _entries.clear();
    _cursors.clear();
    ++_version;
  }
  int Size() const { return static_cast<int>(_entries.size()); }

  // Start a walk with bucket = 1 and position = 0, then call again with the same two integers. Returns the
  // next value and, when key is given, its key; null once every entry has been returned. Stored null values
  // cannot be told from the end: walk those dictionaries with ForEach.
  void* Next(int& bucket, int& position, Key* key = nullptr) {
    typename Map::iterator at = _entries.begin();
    Cursor* cursor = nullptr;
    if (position > 0) {
      cursor = FindCursor(bucket, position);
      if (!cursor) {
        // A walk this dictionary no longer remembers: position entries were returned in key order.
        for (int i = 0; i < position && at != _entries.end(); ++i)
          ++at;
      } else if (cursor->version == _version) {
        at = std::next(cursor->at);
      } else {
        at = _entries.upper_bound(cursor->lastKey);
      }
    }
    if (at == _entries.end()) {
      if (cursor)
        _cursors.erase(_cursors.begin() + (cursor - _cursors.data()));
      return nullptr;
    }
    if (!cursor) {
      cursor = NewCursor();
      bucket = cursor->token;
    }
    ++position;
    cursor->position = position;
    cursor->lastKey = at->first;
    cursor->at = at;
    cursor->version = _version;
    if (key)
      *key = at->first;
    return at->second;
  }

  // Calls f(key, value) for every entry in key order; f must not change the dictionary (use Next for that).
  template <class F>
  void ForEach(F f) const {
    for (const auto& entry : _entries)
      f(entry.first, entry.second);
  }

  const_iterator begin() const { return _entries.begin(); }
  const_iterator end() const { return _entries.end(); }

 private:
  struct Cursor {
    int token;                  // the bucket value handed to the walk
    int position;               // entries returned so far
    Key lastKey;                // the key returned last, where the walk resumes after a change
    typename Map::iterator at;  // the entry returned last; valid while version matches
    uint64_t version;           // _version when the entry was returned
  };

  // Nested walks are rare; beyond this many the oldest walk is forgotten and falls back to counting.
  static constexpr size_t kMaxCursors = 8;

  Cursor* FindCursor(int token, int position) {
    for (Cursor& cursor : _cursors) {
      if (cursor.token == token && cursor.position == position)
        return &cursor;
    }
    return nullptr;
  }

  Cursor* NewCursor() {
    if (_cursors.size() >= kMaxCursors)
      _cursors.erase(_cursors.begin());
    _nextToken = _nextToken >= 0x7FFFFFFF ? 2 : _nextToken + 1;
    _cursors.push_back(Cursor{_nextToken, 0, Key(), _entries.end(), _version});
    return &_cursors.back();
  }

  Map _entries;
  std::vector<Cursor> _cursors;  // walks in progress, oldest first
  uint64_t _version = 0;         // changes at every insertion and removal
  int _nextToken = 1;            // the last walk token handed out
};

#endif
