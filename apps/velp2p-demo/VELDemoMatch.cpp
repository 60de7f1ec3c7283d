#include "VELDemoMatch.h"

#include <algorithm>

namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string text = "[";
  for (size_t i = 0; i < items.size(); ++i)
    text += (i ? "," : "") + items[i];
  return text + "]";
}

std::vector<std::string> Sorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}

}  // namespace

VELDemoMatch& VELDemoMatch::Text(const std::string& key, const std::string& value) {
  _texts.emplace_back(key, value);
  return *this;
}

VELDemoMatch& VELDemoMatch::Number(const std::string& key, int64_t value) {
  _numbers.emplace_back(key, value);
  return *this;
}

VELDemoMatch& VELDemoMatch::List(const std::string& key, std::vector<std::string> values) {
  _lists.emplace_back(key, Sorted(std::move(values)));
  return *this;
}

bool VELDemoMatch::SameKind(const VELConsoleJsonReader& record) const {
  return record.Text(_key) == _name;
}

bool VELDemoMatch::Matches(const VELConsoleJsonReader& record) const {
  return SameKind(record) && Differences(record).empty();
}

std::string VELDemoMatch::Differences(const VELConsoleJsonReader& record) const {
  std::string differences;
  auto note = [&differences](const std::string& key, const std::string& wanted, const std::string& got) {
    differences += (differences.empty() ? "" : ", ") + key + "=" + wanted + " (got " + got + ")";
  };
  for (const auto& text : _texts) {
    if (!record.Has(text.first) || record.Text(text.first) != text.second) {
      note(text.first, "\"" + text.second + "\"",
           record.Has(text.first) ? "\"" + record.Text(text.first) + "\"" : "none");
    }
  }
  for (const auto& number : _numbers) {
    if (!record.Has(number.first) || record.Number(number.first, number.second + 1) != number.second) {
      note(number.first, std::to_string(number.second),
           record.Has(number.first) ? std::to_string(record.Number(number.first)) : "none");
    }
  }
  for (const auto& list : _lists) {
    std::vector<std::string> got = Sorted(record.List(list.first));
    if (!record.Has(list.first) || got != list.second) {
      note(list.first, Joined(list.second), record.Has(list.first) ? Joined(got) : "none");
    }
  }
  if (record.Has("error"))
    note("error", "none", "\"" + record.Text("error") + "\"");
  return differences;
}
