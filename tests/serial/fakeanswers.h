#pragma once
// The device's side of a fake backend: each command written to the port that
// has a scripted answer is answered at once, its text and CR LF put into the
// receive queue, as the simulator answers on a pty. Written while the test's
// event loop runs (the channel's waits included).
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "tests/serial/fakebackend.h"

class FakeAnswers {
 public:
  FakeAnswers(std::shared_ptr<FakeState> state, std::map<char, std::string> answers)
      : answers(std::move(answers)), state_(std::move(state)) {
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      const std::vector<std::string> written = state_->Written();
      for (; seen_ < written.size(); ++seen_) {
        const auto it = this->answers.find(written[seen_].empty() ? '\0' : written[seen_][0]);
        if (it != this->answers.end()) state_->Receive(it->second + "\r\n");
      }
    });
    poll_.start(1);
  }

  std::map<char, std::string> answers;  // command -> answer; a command not here gets none

 private:
  std::shared_ptr<FakeState> state_;
  size_t seen_ = 0;
  QTimer poll_;
};
