# GTKWave script for scripts/trace-picture: on the view that doorlock's save file opens (the whole
# run of examples/auto-lock.scn, signals grouped per controller), marks the door closing (A) and
# the bolt locking (B) and saves the window with GTKWave's own "Grab To File".
#
# It is run with `gtkwave -R` (a repeating script), not `-S`: GTKWave calls it again every period
# once its window is up, and only then does the waveform area have its real width and a grab
# shows what was drawn. Each call does one step; the grab comes on the next call, after GTKWave
# has redrawn. The folder for the picture comes from $TRACE_PICTURE_DIR. Besides panel.png it
# writes panel.txt, the caption with the times read from the trace, and on any error error.txt,
# then quits.

if {![info exists ::step]} {
    set ::step 0
}
incr ::step

set ::out $::env(TRACE_PICTURE_DIR)

# The first time at or after $after at which the one-bit signal $name becomes 1.
proc first_rise {name after} {
    foreach {time value} [gtkwave::signalChangeList $name -start_time $after] {
        if {$time >= $after && $value eq "1"} {
            return $time
        }
    }
    error "$name never becomes 1 after $after ms"
}

# The value of $name at $time as a decimal number (GTKWave lists vectors as 0b... strings).
proc value_at {name time} {
    set result ""
    foreach {changed value} [gtkwave::signalChangeList $name] {
        if {$changed > $time} {
            break
        }
        set result $value
    }
    return [expr {$result}]
}

proc write_file {name text} {
    set file [open [file join $::out $name] w]
    fconfigure $file -encoding utf-8
    puts $file $text
    close $file
}

proc step {} {
    switch $::step {
        1 {
            # The moments the picture is about, read from the trace: the door closes, the bolt
            # locks by itself, the mechanical key unlocks it.
            set closed [first_rise doorlock.signals.door_closed 0]
            set locked [first_rise doorlock.lock.locked $closed]
            set key [first_rise doorlock.signals.key_sensor $locked]
            # One cycle: the step between lock_timer's first two changes after the door closed
            # (the list starts with the value it already had then, which is left out).
            set counted {}
            foreach {time value} [gtkwave::signalChangeList doorlock.lock.lock_timer \
                                      -start_time $closed -max 4] {
                if {$time > $closed} {
                    lappend counted $time
                }
            }
            set cycle [expr {[lindex $counted 1] - [lindex $counted 0]}]
            set delay [expr {$locked - $closed}]
            set timer [value_at doorlock.lock.lock_timer [expr {$locked - 1}]]

            gtkwave::setNamedMarker A $closed "door closed"
            gtkwave::setNamedMarker B $locked "locked"
            gtkwave::setMarker $locked
            # ASCII in this file: \u2192 is an arrow.
            write_file panel.txt "gtkwave auto-lock.gtkw, as doorlock --trace auto-lock.vcd\
writes it: the door closes at $closed ms (marker A), lock_state_name closing; lock_timer counts\
to $timer; the bolt locks by itself at $locked ms (marker B), $delay ms = [expr {$delay / $cycle}]\
cycles of $cycle ms later (closing \u2192 locked); the key unlocks it at $key ms. Above, the\
scenario's step and its expectations with their outcomes. Values after the names: at $locked ms."
        }
        2 {
            gtkwave::/File/Grab_To_File [file join $::out panel.png]
        }
        default {
            gtkwave::/File/Quit
        }
    }
}

if {[catch step message]} {
    write_file error.txt $message
    gtkwave::/File/Quit
}
