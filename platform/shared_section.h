// A memory section shared by two processes over a local port: a sealed memfd object, of which
// each side maps a view. Sections are sparse: pages cost memory only once they are touched.
#pragma once

#include <cstddef>
#include <string>

#include "platform/fd.h"

namespace tarvo {

class SharedSection {
 public:
  SharedSection() = default;
  ~SharedSection() { reset(); }
  SharedSection(SharedSection&& other) noexcept;
  SharedSection& operator=(SharedSection&& other) noexcept;
  SharedSection(const SharedSection&) = delete;
  SharedSection& operator=(const SharedSection&) = delete;

  // Makes a section of sectionSize bytes, sealed against shrinking and growing, and maps its
  // first viewSize bytes (whole pages). viewSize must be at least 1 and at most sectionSize.
  static bool Create(std::size_t sectionSize, std::size_t viewSize, SharedSection& out,
                     std::string* error = nullptr);

  // Maps the first viewSize bytes of a section a peer sent. Refuses a descriptor that is not
  // a section sealed against shrinking or that is smaller than viewSize: a peer that could
  // shrink the section under our mapping would make our reads fault.
  static bool MapReceived(UniqueFd section, std::size_t viewSize, SharedSection& out,
                          std::string* error = nullptr);

  bool valid() const { return base_ != nullptr; }
  void* base() const { return base_; }
  // The usable view; the mapping itself is rounded up to whole pages.
  std::size_t viewSize() const { return viewSize_; }
  std::size_t sectionSize() const { return sectionSize_; }
  // The section's descriptor, for passing to a peer.
  int fd() const { return fd_.get(); }

  // Unmaps the view and closes the section.
  void reset();

 private:
  bool map(std::size_t viewSize, std::string* error);

  UniqueFd fd_;
  void* base_ = nullptr;
  std::size_t viewSize_ = 0;
  std::size_t mappedSize_ = 0;
  std::size_t sectionSize_ = 0;
};

}  // namespace tarvo
