// A progress bar for long transfers, drawn on standard error only when that
// is a terminal, so that logs and pipes stay clean.
#ifndef ASPITOOL_PROGRESS_H
#define ASPITOOL_PROGRESS_H

#include <cstdint>
#include <string>

namespace aspitool {

// Transfers shorter than this many bytes finish too fast to need a bar.
const uint64_t ProgressThresholdBytes = 4u * 1024u * 1024u;

class Progress {
public:
    // Draws nothing unless standard error is a terminal and `totalBytes`
    // reaches the threshold.
    Progress(const std::string& label, uint64_t totalBytes);
    ~Progress();
    // Returns nothing; redraws the bar when the shown percentage changes.
    void Update(uint64_t doneBytes);
    // Returns nothing; ends the bar's line. Called by the destructor too.
    void Finish();

private:
    std::string label_;
    uint64_t total_;
    bool enabled_;
    bool finished_ = false;
    int shownPercent_ = -1;
};

// Returns true when standard error is a terminal.
bool StderrIsTerminal();

}  // namespace aspitool

#endif
