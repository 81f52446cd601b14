// The built-in properties: each rule of the controllers that can be stated on a state and the
// step into it, written in the property language, so that a wrong limit, a dropped rule, a
// swapped precedence or a flag left set makes one of them fail.
#include "explore_properties.h"

#include <cstdio>
#include <cstdlib>

const std::vector<builtin_property>& builtin_properties() {
    static const std::vector<builtin_property> properties = {
        // Decoding
        {"a-door-change-raises-its-event",
         "never door!=was door and door_opened=0 and door_closed=0 and lock_button=0"},
        {"a-cover-change-raises-its-event",
         "never cover!=was cover and cover_opened=0 and cover_closed=0 and lock_button=0 and "
         "door=was door and key_sensor=0"},
        {"a-digit-is-decoded-only-alone",
         "never digit!=none and (lock_button=1 or key_sensor=1 or door_opened=1 or "
         "door_closed=1 or cover_opened=1 or cover_closed=1)"},
        {"a-locked-bolt-holds-the-door", "never was locked=1 and door!=was door"},
        // Password controller
        {"an-entry-begins-only-while-locked-or-without-a-code",
         "never was pw_state=0 and pw_state=1 and was locked=0 and was registered!=none"},
        {"a-digit-is-taken-only-when-decoded", "never key_clicked=1 and digit=none"},
        {"entered-digits-count-within-their-state",
         "never (pw_state=0 and count!=0) or (pw_state=1 and (count<1 or count>4)) or count>4"},
        {"no-pw-state-error", "never pw_state>4"},
        {"an-entry-ends-1000-cycles-after-its-last-digit",
         "pw_state=1 and key_clicked=1 leads-to pw_state!=1 within 1000 unless key_clicked=1"},
        {"an-entry-ends-early-only-by-the-cover-or-the-bolt",
         "never was pw_state=1 and pw_state=4 and cover_closed=0 and was pw_timer<999 and "
         "(was locked=1 or registered=none)"},
        {"a-comparison-comes-the-cycle-after-the-fourth-digit",
         "never pw_result!=255 and not (was pw_state=1 and was count=4 and pw_state=3)"},
        {"a-right-code-reads-1-a-wrong-one-0",
         "never (pw_result=1 and entered!=registered) or (pw_result=0 and entered=registered)"},
        {"a-code-is-registered-from-the-four-digits-entered",
         "never registered!=was registered and not (was registered=none and was pw_state=1 and "
         "was count=4 and pw_state=2 and registered=entered)"},
        {"the-registered-code-never-changes",
         "always was registered=none or registered=was registered"},
        {"registered-compared-and-reset-last-one-cycle",
         "never ((was pw_state=2 or was pw_state=3) and (pw_state!=4 or count!=0)) or "
         "(was pw_state=4 and pw_state!=0)"},
        // Lock controller
        {"the-bolt-unlocks-only-by-key-button-or-right-code",
         "never was locked=1 and locked=0 and lock_button=0 and key_sensor=0 and pw_result!=1"},
        {"the-bolt-locks-only-by-button-or-after-300-cycles-closed",
         "never was locked=0 and locked=1 and lock_button=0 and not (was lock_state=2 and "
         "was lock_timer=300)"},
        {"locking-needs-a-registered-code", "never locked=1 and registered=none"},
        {"lock-state-and-bolt-agree",
         "always (lock_state=1 and locked=1) or (lock_state!=1 and locked=0)"},
        {"every-lock-and-unlock-sets-changed-for-good",
         "never (was changed=1 and changed=0) or (locked!=was locked and changed=0)"},
        {"the-countdown-runs-with-a-code-and-the-door-closed",
         "never lock_state=2 and (registered=none or door=0 or lock_timer>300)"},
        {"the-countdown-starts-at-0-when-the-door-closes",
         "never door_closed=1 and lock_state=2 and lock_timer!=0"},
        {"the-bolt-locks-301-cycles-after-the-door-closed",
         "door_closed=1 and lock_state=2 leads-to locked=1 within 301 unless door_opened=1"},
        // Sound controller
        {"sound-1-for-a-right-code-2-for-a-wrong-one",
         "never (sound=1 and pw_result!=1) or (sound=2 and pw_result!=0)"},
        {"sound-3-only-1000-cycles-after-the-last-digit", "never sound=3 and was sound_timer<999"},
        {"a-sound-plays-once-after-waiting",
         "never (sound!=0 and was sound_state!=4) or (sound!=0 and sound!=sound_state)"},
        {"registering-plays-nothing", "never pw_state=2 and sound!=0"},
        {"the-sound-waits-from-a-digit",
         "never (was sound_state=0 and ((key_clicked=1 and sound_state!=4) or (key_clicked=0 and "
         "sound_state!=0))) or (was sound_state=4 and sound_state=4 and key_clicked=1 and "
         "sound_timer!=0)"},
        {"sounds-last-one-cycle",
         "never (was sound_state=1 or was sound_state=2 or was sound_state=3) and "
         "sound_state!=0"},
        {"the-wait-ends-1000-cycles-after-the-last-digit",
         "sound_state=4 and key_clicked=1 leads-to sound_state!=4 within 1000 unless "
         "key_clicked=1"},
        {"sound-waits-within-1000-cycles", "never sound_timer>=1000"},
        // Backlight controller
        {"the-light-comes-on-only-with-the-cover-or-a-digit",
         "never was light_state=0 and light_state=1 and cover_opened=0 and key_clicked=0"},
        {"the-light-goes-off-only-with-the-cover-or-after-1000-cycles-with-a-code",
         "never was light_state=1 and light_state=0 and cover_closed=0 and (registered=none or "
         "was light_timer<999)"},
        // An opened cover switches on a light that is off; one that is on keeps counting (its
        // count can end in the very cycle of the opening).
        {"closing-the-cover-puts-the-light-off-opening-puts-it-on",
         "never (cover_closed=1 and light_state=1) or (cover_opened=1 and was light_state=0 and "
         "light_state=0)"},
        {"the-backlight-follows-the-light", "always backlight=light_state"},
        {"with-a-code-the-light-goes-off-1000-cycles-after-its-last-start",
         "light_state=1 and light_timer=0 and registered!=none leads-to light_state=0 within "
         "1000 unless key_clicked=1"},
        {"the-light-count-stays-below-1000-with-a-code",
         "never light_state=1 and registered!=none and light_timer>=1000"},
        {"entry-counts-within-1000", "never pw_timer>=1000"},
    };
    return properties;
}

std::vector<property> parse_builtin_properties() {
    std::vector<property> parsed;
    for (const builtin_property& b : builtin_properties()) {
        property p;
        const std::string error = parse_property(b.text, p);
        if (!error.empty()) {
            std::fprintf(stderr, "doorlock: built-in property %s: %s\n", b.name, error.c_str());
            std::abort(); // a fault in the program itself
        }
        p.name = b.name;
        parsed.push_back(std::move(p));
    }
    return parsed;
}
