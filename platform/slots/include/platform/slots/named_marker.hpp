#pragma once
// A named marker that one process holds: made atomically, tells its maker
// whether the name was taken already, and vanishes when the holding process
// ends, however it ends. Names are per user: two users' copies never see
// each other's markers.
#include <string>

namespace ql5::instances {

class NamedMarker {
  public:
    enum class Outcome {
        Created,  // this process holds the marker now
        Existed,  // another holder has the name
        Failed,   // no marker could be made (counts as taken)
    };

    NamedMarker() = default;
    ~NamedMarker();
    NamedMarker(NamedMarker&& other) noexcept;
    NamedMarker& operator=(NamedMarker&& other) noexcept;
    NamedMarker(const NamedMarker&) = delete;
    NamedMarker& operator=(const NamedMarker&) = delete;

    static NamedMarker create(const std::string& name);

    // Markers made after this call live in a namespace of their own (tests
    // that run beside real copies of the program); empty: the common one.
    static void setScope(const std::string& scope);

    Outcome outcome() const { return outcome_; }
    bool held() const;
    // Gives the name up (a marker that was not made: nothing happens).
    void close();

  private:
#ifdef _WIN32
    void* handle_ = nullptr;  // the named mutex
#else
    int fd_ = -1;  // the bound socket
#endif
    Outcome outcome_ = Outcome::Failed;
};

}  // namespace ql5::instances
