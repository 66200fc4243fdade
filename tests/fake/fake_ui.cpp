// Ui_* as a recorder with scripted control values, and a thread pool whose threads take
// part in the virtual clock's turns (when the fake Sys_* is linked).

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "fake/fake_platform.h"
#include "platform/sys.h"
#include "platform/ui.h"

namespace {

// Virtual time a pool function may still run when the program waits for the pool; a
// stimulation that nobody stopped would otherwise run for ever.
constexpr std::int64_t kPoolWaitLimitMs = 3'600'000;

struct Pen {
    int color = -1;
    int width = -1;
    int fill = -1;
};

struct UiState {
    std::mutex m;
    std::map<int, double> values;
    std::vector<fake::CtrlRead> reads;
    std::vector<fake::AttrCall> attrs;
    std::map<int, std::string> labels;
    std::map<int, int> dimmed;
    std::map<int, Pen> pens;
    std::vector<fake::CanvasOp> canvas;
    std::vector<fake::PoolCall> pool;
    std::map<ThreadFunction, int> running;
    std::map<ThreadFunction, int> peak;
    std::vector<fake::UiEvent> events;
    int loadPanelResult = 1;
    int scheduleResult = 0;
};

UiState &U()
{
    static UiState state;
    return state;
}

// Runs f on the state under its lock: every query below is one such read.
template <typename F>
auto Locked(F f)
{
    UiState &state = U();
    std::lock_guard lock(state.m);
    return f(state);
}

void Event(const char *what, const std::string &text = {})
{
    UiState &u = U();
    const std::int64_t t = fake::Now();
    std::lock_guard lock(u.m);
    u.events.push_back(fake::UiEvent{t, what, text});
}

int Draw(int panel, int control, fake::CanvasOpKind kind, Rect rect, Point a, Point b, const char *text)
{
    UiState &u = U();
    fake::CanvasOp op{};
    op.t = fake::Now();
    op.thread = fake::ThreadIndex();
    op.panel = panel;
    op.control = control;
    op.kind = kind;
    op.rect = rect;
    op.a = a;
    op.b = b;
    op.text = text != nullptr ? text : "";
    std::lock_guard lock(u.m);
    const Pen &pen = u.pens[control];
    op.penColor = pen.color;
    op.penWidth = pen.width;
    op.fillColor = pen.fill;
    u.canvas.push_back(op);
    return 0;
}

double Read(int control)
{
    UiState &u = U();
    const std::int64_t t = fake::Now();
    std::lock_guard lock(u.m);
    const double value = u.values.count(control) != 0 ? u.values[control] : 0.0;
    u.reads.push_back(fake::CtrlRead{t, fake::ThreadIndex(), control, value});
    return value;
}

[[noreturn]] void Die(const char *why)
{
    std::fprintf(stderr, "fake ui: %s\n", why);
    std::fflush(stderr);
    std::abort();
}

// Waits for the pool threads' ends on the test thread; lock not held.
void JoinAll() { fake::detail::JoinThreads(); }

}  // namespace

int Ui_Init(int, char **)
{
    Event("Init");
    return 1;
}

void Ui_DeclarePanel(const UiPanelDecl *decl) { Event("DeclarePanel", decl != nullptr ? decl->name : ""); }

int Ui_LoadPanel(int, const char *fileName, int)
{
    Event("LoadPanel", fileName);
    UiState &u = U();
    std::lock_guard lock(u.m);
    return u.loadPanelResult;
}

int Ui_DisplayPanel(int)
{
    Event("DisplayPanel");
    return 0;
}

int Ui_DiscardPanel(int)
{
    Event("DiscardPanel");
    return 0;
}

// The test's actions stand for the user's events: they run here, on the main loop's turn.
int Ui_ProcessSystemEvents()
{
    fake::detail::RunDueActions();
    return 0;
}

int Ui_GetCtrlVal(int, int control, int *value)
{
    *value = static_cast<int>(Read(control));
    return 0;
}

int Ui_GetCtrlVal(int, int control, double *value)
{
    *value = Read(control);
    return 0;
}

int Ui_SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    UiState &u = U();
    const std::int64_t t = fake::Now();
    std::lock_guard lock(u.m);
    u.attrs.push_back(fake::AttrCall{t, fake::ThreadIndex(), panel, control, attribute, value, {}});
    switch (attribute) {
    case ATTR_DIMMED:
        u.dimmed[control] = value;
        break;
    case ATTR_PEN_COLOR:
        u.pens[control].color = value;
        break;
    case ATTR_PEN_WIDTH:
        u.pens[control].width = value;
        break;
    case ATTR_PEN_FILL_COLOR:
        u.pens[control].fill = value;
        break;
    default:
        break;
    }
    return 0;
}

int Ui_SetCtrlAttribute(int panel, int control, int attribute, const char *value)
{
    UiState &u = U();
    const std::int64_t t = fake::Now();
    std::lock_guard lock(u.m);
    u.attrs.push_back(fake::AttrCall{t, fake::ThreadIndex(), panel, control, attribute, 0, value});
    if (attribute == ATTR_LABEL_TEXT) {
        u.labels[control] = value;
    }
    return 0;
}

int Ui_CanvasClear(int panel, int control, Rect rect)
{
    return Draw(panel, control, fake::CanvasOpKind::Clear, rect, {}, {}, nullptr);
}

int Ui_CanvasDrawRect(int panel, int control, Rect rect, int)
{
    return Draw(panel, control, fake::CanvasOpKind::Rect, rect, {}, {}, nullptr);
}

int Ui_CanvasDrawLine(int panel, int control, Point start, Point end)
{
    return Draw(panel, control, fake::CanvasOpKind::Line, {}, start, end, nullptr);
}

int Ui_CanvasDrawPoint(int panel, int control, Point point)
{
    return Draw(panel, control, fake::CanvasOpKind::Point, {}, point, {}, nullptr);
}

int Ui_CanvasDrawTextAtPoint(int panel, int control, const char *text, const char *, Point point, int)
{
    return Draw(panel, control, fake::CanvasOpKind::Text, {}, point, {}, text);
}

int Ui_MessagePopup(const char *, const char *message)
{
    Event("MessagePopup", message);
    return 0;
}

std::int64_t Ui_EventPressTimeNs()
{
    const std::int64_t down = fake::detail::PressDownMs();
    return (down >= 0 ? down : fake::Now()) * 1'000'000;
}

int Ui_ShowWarning(const char *, const char *message)
{
    Event("Warning", message);
    return 0;
}

int Ui_ScheduleThreadPoolFunction(int poolHandle, ThreadFunction function, void *functionData, int priority, void *,
                                  int eventMask, void *, int callbackThread, int *)
{
    UiState &u = U();
    const std::int64_t t = fake::Now();
    {
        std::lock_guard lock(u.m);
        if (u.scheduleResult < 0) {
            return u.scheduleResult;
        }
    }
    struct Job {
        ThreadFunction function;
        void *data;
        std::size_t record;
    };
    Job *job = nullptr;
    {
        std::lock_guard lock(u.m);
        u.pool.push_back(fake::PoolCall{t, function, functionData, poolHandle, priority, eventMask, callbackThread, -1});
        const int now = ++u.running[function];
        u.peak[function] = std::max(u.peak[function], now);
        job = new Job{function, functionData, u.pool.size() - 1};
    }
    Sys_StartThread(
        [](void *p) {
            const Job j = *static_cast<Job *>(p);
            delete static_cast<Job *>(p);
            {
                UiState &state = U();
                std::lock_guard lock(state.m);
                state.pool[j.record].threadIndex = fake::ThreadIndex();
            }
            j.function(j.data);
            UiState &state = U();
            std::lock_guard lock(state.m);
            --state.running[j.function];
        },
        job);
    return 0;
}

void Ui_WaitForThreadPoolFunctions()
{
    Event("Wait");
    if (!fake::RunUntilThreadsEnded(fake::Now() + kPoolWaitLimitMs)) {
        Die("Ui_WaitForThreadPoolFunctions: pool functions still running after an hour of virtual time");
    }
    JoinAll();
}

namespace fake {

namespace detail {
namespace {
std::atomic<std::int64_t> gPressDownMs{-1};
}
std::int64_t PressDownMs() { return gPressDownMs.load(); }
void SetPressDownMs(std::int64_t ms) { gPressDownMs.store(ms); }
}  // namespace detail

void SetCtrl(int control, double value)
{
    UiState &u = U();
    std::lock_guard lock(u.m);
    u.values[control] = value;
}

double Ctrl(int control)
{
    return Locked([&](UiState &u) { return u.values.count(control) != 0 ? u.values[control] : 0.0; });
}

std::vector<CtrlRead> CtrlReads()
{
    return Locked([&](UiState &u) { return u.reads; });
}

std::vector<AttrCall> AttrCalls()
{
    return Locked([&](UiState &u) { return u.attrs; });
}

std::string Label(int control)
{
    return Locked([&](UiState &u) { return u.labels.count(control) != 0 ? u.labels[control] : std::string{}; });
}

int Dimmed(int control)
{
    return Locked([&](UiState &u) { return u.dimmed.count(control) != 0 ? u.dimmed[control] : -1; });
}

std::vector<CanvasOp> CanvasOps()
{
    return Locked([&](UiState &u) { return u.canvas; });
}

std::vector<PoolCall> PoolCalls()
{
    return Locked([&](UiState &u) { return u.pool; });
}

int Running(ThreadFunction function)
{
    return Locked([&](UiState &u) { return u.running[function]; });
}

int PeakRunning(ThreadFunction function)
{
    return Locked([&](UiState &u) { return u.peak[function]; });
}

std::vector<UiEvent> UiEvents()
{
    return Locked([&](UiState &u) { return u.events; });
}

void SetLoadPanelResult(int handle)
{
    UiState &u = U();
    std::lock_guard lock(u.m);
    u.loadPanelResult = handle;
}

void SetScheduleResult(int result)
{
    UiState &u = U();
    std::lock_guard lock(u.m);
    u.scheduleResult = result;
}

void ResetUi()
{
    if (LiveThreads() != 0) {
        Die("reset while pool threads are alive: the previous test left a procedure running");
    }
    JoinAll();
    UiState &u = U();
    std::lock_guard lock(u.m);
    u.values.clear();
    u.reads.clear();
    u.attrs.clear();
    u.labels.clear();
    u.dimmed.clear();
    u.pens.clear();
    u.canvas.clear();
    u.pool.clear();
    u.running.clear();
    u.peak.clear();
    u.events.clear();
    u.loadPanelResult = 1;
    u.scheduleResult = 0;
}

}  // namespace fake
