// A file descriptor with one owner.
#ifndef PLATFORM_TRANSPORT_UNIQUE_FD_H_
#define PLATFORM_TRANSPORT_UNIQUE_FD_H_

namespace comm {

// Owns one file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int m_fd = -1;
};

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_UNIQUE_FD_H_
