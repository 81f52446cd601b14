# GTKWave script for scripts/trace-picture: shows the automatic lock of a doorlock trace
# (examples/auto-lock.scn) in three views and saves each view with GTKWave's own "Grab To File".
#
# It is run with `gtkwave -R` (a repeating script), not `-S`: GTKWave calls it again every period
# once its window is up, and only then does the waveform area have its real width and a grab
# shows what was drawn. Each call does one step; a zoom is grabbed on the next call, after GTKWave
# has redrawn. The folder for the pictures comes from $TRACE_PICTURE_DIR. Besides panel1.png ..
# panel3.png it writes panel1.txt .. panel3.txt, the caption of each view with the times read
# from the trace, and on any error error.txt, then quits.

if {![info exists ::step]} {
    set ::step 0
}
incr ::step

set ::out $::env(TRACE_PICTURE_DIR)

# The signals shown, top to bottom, as GTKWave names them once they are on the display (a vector's
# name carries its bit range). The vectors are shown as decimal numbers.
set ::shown {
    doorlock.inputs.door
    doorlock.signals.door_closed
    doorlock.lock.lock_state
    doorlock.lock.lock_timer
    doorlock.lock.locked
    doorlock.signals.key_sensor
    doorlock.password.count
}
set ::decimal {
    {doorlock.inputs.door[1:0]}
    {doorlock.lock.lock_state[1:0]}
    doorlock.lock.lock_timer
    {doorlock.password.count[2:0]}
}

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

# "from-to" of a view, for its caption.
proc range {view} {
    return "[lindex $view 0]\u2013[lindex $view 1]"
}

# Shows view number $index: puts the primary marker (its values show after the signal names) on
# its moment, shows its time range and writes its caption to panelN.txt.
proc show {index} {
    lassign [lindex $::views $index] from to marker caption
    gtkwave::setMarker $marker
    gtkwave::setZoomRangeTimes $from $to
    write_file panel[expr {$index + 1}].txt $caption
}

# Saves what GTKWave's window shows now as panelN.png for view number $index.
proc grab {index} {
    gtkwave::/File/Grab_To_File [file join $::out panel[expr {$index + 1}].png]
}

proc step {} {
    switch $::step {
        1 {
            gtkwave::addSignalsFromList $::shown
            gtkwave::/Edit/UnHighlight_All
            gtkwave::highlightSignalsFromList $::decimal
            gtkwave::/Edit/Data_Format/Decimal
            gtkwave::/Edit/UnHighlight_All

            # The moments the picture is about, read from the trace: the door closes, the bolt
            # locks by itself, the mechanical key unlocks it.
            set ::closed [first_rise doorlock.signals.door_closed 0]
            set ::locked [first_rise doorlock.lock.locked $::closed]
            set ::key [first_rise doorlock.signals.key_sensor $::locked]
            # One cycle: the step between lock_timer's first two changes after the door closed
            # (the list starts with the value it already had then, which is left out).
            set counted {}
            foreach {time value} [gtkwave::signalChangeList doorlock.lock.lock_timer \
                                      -start_time $::closed -max 4] {
                if {$time > $::closed} {
                    lappend counted $time
                }
            }
            set ::cycle [expr {[lindex $counted 1] - [lindex $counted 0]}]
            set ::delay [expr {$::locked - $::closed}]

            set state {doorlock.lock.lock_state[1:0]}
            set before [value_at $state [expr {$::closed - 1}]]
            set counting [value_at $state $::closed]
            set locking [value_at $state $::locked]
            set after [value_at $state $::key]
            set timer [value_at doorlock.lock.lock_timer [expr {$::locked - 1}]]

            gtkwave::setNamedMarker A $::closed "door closed"
            gtkwave::setNamedMarker B $::locked "locked"

            # The three views, each as: from, to, primary marker, caption. The captions are
            # ASCII in this file: \u2013 is an en dash, \u2192 an arrow.
            set cycles [expr {$::delay / $::cycle}]
            set whole [list 0 [expr {$::locked + 210}] $::locked]
            set closing [list 0 [expr {$::closed + 110}] $::closed]
            set locking_view [list [expr {$::locked - 100}] [expr {$::locked + 100}] $::locked]
            set ::views [list \
                [concat $whole [list "[range $whole] ms: the door closes at $::closed ms\
(marker A), the bolt locks by itself at $::locked ms (marker B), $::delay ms = $cycles cycles\
of $::cycle ms later. Values after the names: at $::locked ms."]] \
                [concat $closing [list "[range $closing] ms: the code is typed (count); the\
door closes at $::closed ms: lock_state $before \u2192 $counting, lock_timer counts from 0.\
Values after the names: at $::closed ms."]] \
                [concat $locking_view [list "[range $locking_view] ms: lock_timer reaches\
$timer; at $::locked ms lock_state $counting \u2192 $locking, locked = 1; the key unlocks at\
$::key ms (lock_state $after). Values after the names: at $::locked ms."]]]
            show 0
        }
        default {
            # Grab the view shown by the call before, then show the next one or quit.
            set shown [expr {$::step - 2}]
            grab $shown
            if {$shown + 1 < [llength $::views]} {
                show [expr {$shown + 1}]
            } else {
                gtkwave::/File/Quit
            }
        }
    }
}

if {[catch step message]} {
    write_file error.txt $message
    gtkwave::/File/Quit
}
