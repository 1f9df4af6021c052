#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kit/common/coding_error.h"
#include "kit/common/uuid.h"
#include "kit/pairing/credential_store.h"
#include "kit/wire/json_text.h"

namespace tillerpad::kit {

// Records with a Uuid `id`, stored as their JSON text under the upper-case
// text of that id. Holds no state of its own.
template <class Record>
class RecordStore {
 public:
  explicit RecordStore(std::shared_ptr<CredentialStore> backing) : backing_(std::move(backing)) {}

  // Every item that decodes; a corrupt or foreign item never blocks loading.
  // Unordered: callers sort.
  std::vector<Record> all() const {
    std::vector<Record> records;
    for (const auto& [account, data] : backing_->all()) {
      try {
        records.push_back(fromJsonText<Record>(asText(data)));
      } catch (const DecodingError&) {
      }
    }
    return records;
  }

  void save(const Record& record) const {
    std::string text = toJsonText<Record>(record);
    backing_->write(asBytes(text), record.id.text());
  }

  void remove(const Uuid& id) const { backing_->remove(id.text()); }

  CredentialStore& backing() const { return *backing_; }

 private:
  std::shared_ptr<CredentialStore> backing_;
};

}  // namespace tillerpad::kit
