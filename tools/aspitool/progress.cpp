#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace aspitool {

bool StderrIsTerminal() {
    return isatty(2) != 0;
}

Progress::Progress(const std::string& label, uint64_t totalBytes)
    : label_(label), total_(totalBytes),
      enabled_(totalBytes >= ProgressThresholdBytes && StderrIsTerminal()) {}

Progress::~Progress() {
    Finish();
}

void Progress::Update(uint64_t doneBytes) {
    if (!enabled_ || finished_ || total_ == 0) return;
    const int percent = static_cast<int>(doneBytes >= total_ ? 100 : doneBytes * 100 / total_);
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    const int width = 40;
    const int filled = percent * width / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %3d%% %llu/%llu KiB", label_.c_str(), bar.c_str(), percent,
                 static_cast<unsigned long long>(doneBytes / 1024),
                 static_cast<unsigned long long>(total_ / 1024));
    std::fflush(stderr);
}

void Progress::Finish() {
    if (!enabled_ || finished_) return;
    finished_ = true;
    if (shownPercent_ >= 0) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

}  // namespace aspitool
