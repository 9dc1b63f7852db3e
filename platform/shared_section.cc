#include "platform/shared_section.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tarvo {

namespace {

bool Fail(std::string* error, const char* call) {
  if (error) *error = std::string(call) + ": " + std::strerror(errno);
  return false;
}

std::size_t WholePages(std::size_t size) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

SharedSection::SharedSection(SharedSection&& other) noexcept { *this = std::move(other); }

SharedSection& SharedSection::operator=(SharedSection&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::move(other.fd_);
    base_ = std::exchange(other.base_, nullptr);
    viewSize_ = std::exchange(other.viewSize_, 0);
    mappedSize_ = std::exchange(other.mappedSize_, 0);
    sectionSize_ = std::exchange(other.sectionSize_, 0);
  }
  return *this;
}

void SharedSection::reset() {
  if (base_) ::munmap(base_, mappedSize_);
  base_ = nullptr;
  viewSize_ = mappedSize_ = sectionSize_ = 0;
  fd_.reset();
}

bool SharedSection::Create(std::size_t sectionSize, std::size_t viewSize, SharedSection& out,
                           std::string* error) {
  out.reset();
  if (viewSize == 0 || viewSize > sectionSize) {
    if (error)
      *error = "section view of " + std::to_string(viewSize) + " bytes does not fit a " +
               std::to_string(sectionSize) + "-byte section";
    return false;
  }
  UniqueFd fd(::memfd_create("tarvo-section", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return Fail(error, "memfd_create");
  while (::ftruncate(fd.get(), static_cast<off_t>(sectionSize)) != 0) {
    if (errno != EINTR) return Fail(error, "ftruncate");
  }
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    return Fail(error, "fcntl(F_ADD_SEALS)");
  }
  out.fd_ = std::move(fd);
  out.sectionSize_ = sectionSize;
  if (!out.map(viewSize, error)) {
    out.reset();
    return false;
  }
  return true;
}

bool SharedSection::MapReceived(UniqueFd section, std::size_t viewSize, SharedSection& out,
                                std::string* error) {
  out.reset();
  int seals = ::fcntl(section.get(), F_GET_SEALS);
  if (seals < 0) return Fail(error, "fcntl(F_GET_SEALS) on the peer's section");
  if (!(seals & F_SEAL_SHRINK)) {
    if (error) *error = "the peer's section is not sealed against shrinking";
    return false;
  }
  struct stat status {};
  if (::fstat(section.get(), &status) != 0) return Fail(error, "fstat on the peer's section");
  const auto sectionSize = static_cast<std::size_t>(status.st_size);
  if (viewSize == 0 || viewSize > sectionSize) {
    if (error)
      *error = "the peer offers a view of " + std::to_string(viewSize) + " bytes of a " +
               std::to_string(sectionSize) + "-byte section";
    return false;
  }
  out.fd_ = std::move(section);
  out.sectionSize_ = sectionSize;
  if (!out.map(viewSize, error)) {
    out.reset();
    return false;
  }
  return true;
}

bool SharedSection::map(std::size_t viewSize, std::string* error) {
  // A partly covered last page is safe: bytes past the end of the section read as zero.
  const std::size_t mapped = WholePages(viewSize);
  void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
  if (base == MAP_FAILED) return Fail(error, "mmap");
  base_ = base;
  viewSize_ = viewSize;
  mappedSize_ = mapped;
  return true;
}

}  // namespace tarvo
