#include "platform/posix/TelnetReader.h"

namespace zv::win32 {

using namespace telnet;

void TelnetReader::AddSubByte(std::uint8_t b) {
    if (!subHaveOption_) {
        subHaveOption_ = true;
        subOption_ = b;
    } else if (payload_.size() < kMaxPayload) {
        payload_.push_back(b);
    } else {
        subOverflow_ = true;
    }
}

std::size_t TelnetReader::Feed(const std::uint8_t* in, std::size_t count, std::uint8_t* out,
                               std::vector<TelnetCommand>& commands) {
    std::size_t o = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = in[i];
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                out[o++] = b;
            break;
        case State::Iac:
            if (b == kIac) {
                out[o++] = kIac; // a doubled IAC is one data byte
                state_ = State::Data;
            } else if (b >= kWill) { // WILL WONT DO DONT: one option byte follows
                verb_ = b;
                state_ = State::Verb;
            } else if (b == kSb) {
                payload_.clear();
                subOverflow_ = false;
                subHaveOption_ = false;
                state_ = State::Sub;
            } else {
                state_ = State::Data; // NOP, GA, a stray SE and the like carry nothing for us
            }
            break;
        case State::Verb: {
            const auto kind = verb_ == kWill   ? TelnetCommand::Will
                              : verb_ == kWont ? TelnetCommand::Wont
                              : verb_ == kDo   ? TelnetCommand::Do
                                               : TelnetCommand::Dont;
            commands.push_back({kind, b, {}, o});
            state_ = State::Data;
            break;
        }
        case State::Sub:
            if (b == kIac) {
                state_ = State::SubIac;
                break;
            }
            AddSubByte(b);
            break;
        case State::SubIac:
            if (b == kIac) {
                // A doubled IAC inside a suboption is a payload byte.
                state_ = State::Sub;
                AddSubByte(b);
                break;
            }
            if (b == kSe) {
                if (subOverflow_ || !subHaveOption_)
                    ++dropped_;
                else
                    commands.push_back({TelnetCommand::Sub, subOption_, payload_, o});
                payload_.clear();
                state_ = State::Data;
                break;
            }
            // IAC and anything but SE or IAC ends a suboption the server never closed: drop it
            // and read the byte as the command after IAC.
            ++dropped_;
            payload_.clear();
            state_ = State::Iac;
            --i;
            break;
        }
    }
    return o;
}

} // namespace zv::win32
