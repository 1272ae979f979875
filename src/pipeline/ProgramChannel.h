#pragma once

#include <QString>

#include <cstdint>

// What the program time line needs from one channel panel: its source, transport and volume,
// and the two things it tells the panel back.
class ProgramChannel {
public:
    virtual ~ProgramChannel() = default;
    // Local file path for local URLs, else the URL string; empty = no source.
    virtual QString programSource() const = 0;
    virtual int64_t positionMs() const = 0;
    virtual bool isPlaying() const = 0;
    virtual bool loopEnabled() const = 0;
    virtual int volumePercent() const = 0; // 0..100
    // Shows the switch state; must not echo a toggle back.
    virtual void setPreviewSwitch(bool on) = 0;
    virtual void setDurationMs(int64_t ms) = 0;
};
