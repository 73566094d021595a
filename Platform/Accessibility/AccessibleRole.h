#pragma once

namespace platform {

// The roles of accessible objects that the application tells apart. Every other role of
// the accessibility layer is `other`; an object without a role (or whose role could not be
// read) has none at all (an empty optional where a role is asked for).
enum class AccessibleRole {
    other,
    text,          // a plain text field or text area (Qt reports its line edits this way)
    entry,         // a single-line entry (GTK, web forms)
    comboBox,
    passwordText,  // a field whose content is hidden
    spinButton,    // a number field with steppers, or the stepper itself
    slider,
    scrollBar,
    dateEditor,
    documentWeb,   // the root of a web page
    frame,
    window,
    dialog,
    scrollPane,
};

}  // namespace platform
