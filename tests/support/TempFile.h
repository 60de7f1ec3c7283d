// A file under /tmp holding the given content, removed with the object; its name ends with suffix.
#ifndef VELP2P_TESTS_SUPPORT_TEMPFILE_H
#define VELP2P_TESTS_SUPPORT_TEMPFILE_H

#include <stdlib.h>
#include <unistd.h>

#include <string>

class TempFile {
 public:
  explicit TempFile(const std::string& content, const std::string& suffix = "")
      : _path("/tmp/velp2p-test-XXXXXX" + suffix) {
    const int descriptor = mkstemps(&_path[0], static_cast<int>(suffix.size()));
    if (descriptor < 0 || write(descriptor, content.data(), content.size()) != ssize_t(content.size()))
      _path.clear();
    close(descriptor);
  }
  ~TempFile() { unlink(_path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return _path; }

 private:
  std::string _path;
};

#endif
