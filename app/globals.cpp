#include "app/globals.h"

std::atomic<std::uint8_t> ucQuitFlag{1};
std::atomic<int> iAudiometrieRunning{0};
std::atomic<int> iStimulationRunning{0};
std::atomic<int> iKey{0};
std::atomic<int> iLeftRight{0};
std::atomic<int> iPanelHandle{0};
std::atomic<std::uint32_t> uStimulationState{STIMULATION_IDLE};
std::atomic<int> iAryPressKind[PRESS_LOG_SIZE]{};
std::atomic<std::int64_t> llAryPressTime[PRESS_LOG_SIZE]{};
std::atomic<int> iPressCount{0};
std::atomic<int> iPassPressesFrom{0};
