// The signal set through which the window's inputs reach the controllers, its decoding, and the
// main loop that owns every piece of the simulation's state.
#pragma once

#include <cstdint>

// Door and cover input code: bit 0 the level (1 closed, 0 open), bit 1 set while the level did
// not change in the current cycle.
using sensor_input = std::uint8_t;
constexpr sensor_input became_open = 0;
constexpr sensor_input became_closed = 1;
constexpr sensor_input open_unchanged = 2;
constexpr sensor_input closed_unchanged = 3;

// Marks an empty byte or digit: no digit typed, a digit already taken, no outcome this cycle.
constexpr std::uint8_t empty_value = 255;
constexpr int code_length = 4;

struct key_input {
    std::int32_t value;   // digit 0-9; 255 once taken; 0 after the end-of-cycle clear
    std::uint8_t pressed; // 1 while `value` holds a digit nobody has taken
};

struct pw_code {
    std::int32_t digits[code_length];
};

struct pw_buffer {
    std::int32_t digits[code_length]; // slots at and beyond `count` hold stale digits
    pw_code* registered;              // none until the first code is registered
    std::int32_t count;               // 0 to 4
};

struct pw_control {
    std::uint8_t locked; // the bolt as the lock controller last left it
    pw_buffer* buffer;
};

enum sensor_event_index : int {
    key_sensor = 0,
    door_opened = 1,
    door_closed = 2,
    cover_opened = 3,
    cover_closed = 4,
};

struct sensor_events {
    std::uint8_t raised[5]; // indexed by sensor_event_index
};

struct signal_set {
    key_input* keypad;
    std::uint8_t lock_button;
    pw_control* control;
    sensor_events* events;
};

struct lock_status {
    std::uint8_t changed; // set by every lock and unlock, never cleared
    std::uint8_t locked;
};

// Creates the set when `signals` is null, then raises at most one signal for this cycle's inputs,
// in order of precedence: lock button, door change, key, cover change, digit.
signal_set* determine(std::uint8_t button_toggle, sensor_input door_input, std::uint8_t key_toggle,
                      sensor_input cover_input, unsigned digit, signal_set* signals);

// Clears the one-cycle signals of the set.
void init_bss(signal_set* signals);

// Releases the set and everything hanging from it, the registered code included.
void release_signals(signal_set* signals);

// Whoever looks at a cycle between its controllers and its end-of-cycle clear, while the cycle's
// one-cycle values (signals, pw_result, key_clicked, the sound) are still in place.
struct loop_state;
struct cycle_watcher {
    void* context;
    void (*see)(void* context, const loop_state& loop);
};

// A step of the controllers over the loop's state; the real one is step_cycle.
using step_function = void (*)(loop_state& loop, const cycle_watcher* watcher);
void step_cycle(loop_state& loop, const cycle_watcher* watcher);

// Everything the main loop owns for the whole run.
struct loop_state {
    std::uint32_t pw_state = 0;
    std::int32_t pw_timer = 0;
    std::uint32_t lock_state = 0;
    std::int32_t lock_timer = 0;
    std::uint32_t sound_state = 0;
    std::int32_t sound_timer = 0;
    std::uint32_t light_state = 1;
    std::int32_t light_timer = 0;
    std::uint8_t backlight = 1;
    lock_status status = {0, 0};
    std::uint8_t pw_result = empty_value;
    std::uint8_t key_clicked = 0;
    sensor_input door_input = open_unchanged;
    sensor_input cover_input = open_unchanged;
    std::uint8_t button_toggle = 0;
    std::uint8_t key_toggle = 0;
    std::int32_t digit = empty_value;
    std::uint32_t last_tick = 0;
    signal_set* signals = nullptr;
    std::uint8_t sound_code = 0;    // the latest cycle's sound
    bool show_states = false;       // draw the live view of the controllers below the screen
    std::uint64_t cycle_number = 0; // cycles run
    const struct loop_observer* observer = nullptr; // told of every key and cycle, when set
    step_function step = step_cycle; // what run_cycle steps the lock with (a test may wrap it)
    bool wakes_every_cycle = false;  // looks at the keyboard before every cycle, also when nothing
                                     // can change until a key comes (instead of sleeping)
};

// Clock ticks from the start of one cycle to the start of the next.
constexpr std::uint32_t cycle_ticks = 10;

// Someone who watches the loop (a recording, a trace): told of every key before it acts, and of
// every cycle before its end-of-cycle clear, with the cycle's start tick.
struct loop_observer {
    void* context;
    void (*key)(void* context, const loop_state& loop, int key);
    void (*cycle)(void* context, const loop_state& loop, std::uint32_t start_tick);
    // Told, instead of `cycle` for each, of `cycles` cycles without a key that repeat the latest
    // one told, `cycle_ticks` apart; `loop` is as after the last of them (its `last_tick` is that
    // cycle's start). Cycles are counted only when this is given.
    void (*counted)(void* context, const loop_state& loop, std::uint64_t cycles);
    // Before the loop sleeps longer than a second: what waits in buffers goes to the files.
    void (*flush)(void* context);
    // Records every value of every counter (a trace): cycles that move a counter are not counted.
    bool sees_every_value;
};

// Resets the window's raw inputs before a polling window.
void start_window(loop_state& loop);

// Whether the key quits: Q in either case (only the low byte of a key code counts).
bool is_quit_key(int key);

// What a key press did to the window's raw inputs.
enum class key_action { quit, digit, lock_button, door, key, cover, dropped };

// Applies one key press to the window's raw inputs, without a console: a digit while the cover is
// open, L, D while the bolt is not locked, K, C. Letters count in either case.
key_action window_key(loop_state& loop, int key);

// The echo of a key at (40, 10); the cursor goes there for every key but the quit, even when the
// key was dropped.
void echo_key(key_action action, int digit);

// Handles one key press of a polling window, echo included. Returns true for quit.
bool handle_key(loop_state& loop, int key);

// The step of the controllers, with no console: decoding of the window's raw inputs, the four
// controllers in their order, then the end-of-cycle clear. `watcher`, when given, sees the loop
// before the clear. The interactive program, the scenario runner and the exploration all step the
// lock through this one function.
void step_cycle(loop_state& loop, const cycle_watcher* watcher = nullptr);

// Draws a cycle's panels (and the live view with `show_states`) from the loop as its step left it
// before the end-of-cycle clear; the cursor is left at (0, 0).
void draw_panels(const loop_state& loop);

// Runs one cycle on the console: the step, with both panels, the live view and the observer drawn
// and told before the clear; then the cycle's start tick is kept and the frame flushed.
void run_cycle(loop_state& loop, std::uint32_t start_tick);

// One polling window: resets the window's raw inputs, then reads and handles keys until 10 ticks
// have passed since the start of the previous cycle; `start_tick` is then the next cycle's start.
// While the window has no key (and neither `show_states` nor `wakes_every_cycle` is set), it
// sleeps until the next cycle that can change the screen, running the cycles slept through on
// waking (idle_cycles.h). Returns false when Q arrived (nothing is released).
bool poll_window(loop_state& loop, std::uint32_t& start_tick);

// The main loop: polling windows and a cycle every 10 clock ticks until Q. Returns 0.
// `show_states` adds the live view of the controllers below the screen; `observer`, when given,
// is told of every key and cycle; `wakes_every_cycle` keeps it from sleeping while nothing can
// change.
int mainmodule(bool show_states = false, const loop_observer* observer = nullptr,
               bool wakes_every_cycle = false);
