#pragma once
// A driver whose ports are plain names, for enumeration tests, with an input
// the test can push into directly (the test thread then plays the platform's
// input thread).
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mm/driver.hpp"

namespace ql5::testing {

class FakeDriver : public mm::Driver {
  public:
    FakeDriver(std::vector<std::string> ins, std::vector<std::string> outs)
        : ins_(std::move(ins)), outs_(std::move(outs)) {}

    const char* name() const override { return "fake"; }
    std::uint32_t inputCount() override { return static_cast<std::uint32_t>(ins_.size()); }
    std::string inputName(std::uint32_t i) override { return ins_.at(i); }
    std::uint32_t outputCount() override { return static_cast<std::uint32_t>(outs_.size()); }
    std::string outputName(std::uint32_t i) override { return outs_.at(i); }

    class Input : public mm::DriverInput {
      public:
        explicit Input(FakeDriver& d) : d_(d) {}
        ~Input() override {
            std::lock_guard<std::mutex> lock(d_.mutex);
            d_.stream = nullptr;
        }
        mm::MMRESULT start() override {
            return d_.refuseStart ? mm::MMSYSERR_ERROR : mm::MMSYSERR_NOERROR;
        }

      private:
        FakeDriver& d_;
    };

    class Output : public mm::DriverOutput {
      public:
        explicit Output(FakeDriver& d) : d_(d) {}
        mm::MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count,
                              bool& markDone) override {
            std::lock_guard<std::mutex> lock(d_.mutex);
            d_.sent.emplace_back(bytes, bytes + count);
            markDone = true;
            return mm::MMSYSERR_NOERROR;
        }
        mm::MMRESULT sendShort(std::uint32_t message) override {
            std::lock_guard<std::mutex> lock(d_.mutex);
            d_.shorts.push_back(message);
            return mm::MMSYSERR_NOERROR;
        }

      private:
        FakeDriver& d_;
    };

    mm::MMRESULT openInput(std::uint32_t index, mm::InputStream& s,
                           std::unique_ptr<mm::DriverInput>& port) override {
        if (index >= ins_.size()) {
            return mm::MMSYSERR_BADDEVICEID;
        }
        std::lock_guard<std::mutex> lock(mutex);
        stream = &s;
        openedInput = static_cast<int>(index);
        port = std::make_unique<Input>(*this);
        return mm::MMSYSERR_NOERROR;
    }
    mm::MMRESULT openOutput(std::uint32_t index, std::unique_ptr<mm::DriverOutput>& port) override {
        if (index >= outs_.size()) {
            return mm::MMSYSERR_BADDEVICEID;
        }
        openedOutput = static_cast<int>(index);
        port = std::make_unique<Output>(*this);
        return mm::MMSYSERR_NOERROR;
    }

    void push(const std::vector<std::uint8_t>& bytes) {
        mm::InputStream* s = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            s = stream;
        }
        if (s != nullptr) {
            s->pushBytes(bytes.data(), bytes.size());
        }
    }
    void pushLongError() {
        mm::InputStream* s = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            s = stream;
        }
        if (s != nullptr) {
            s->pushLongError();
        }
    }

    std::mutex mutex;
    mm::InputStream* stream = nullptr;
    int openedInput = -1;
    int openedOutput = -1;
    bool refuseStart = false;
    std::vector<std::vector<std::uint8_t>> sent;
    std::vector<std::uint32_t> shorts;

  private:
    std::vector<std::string> ins_;
    std::vector<std::string> outs_;
};

}  // namespace ql5::testing
