#pragma once

class QObject;

// Rewrites the visible texts of a widget tree into one interface language. Objects whose dynamic
// property "userContent" is true show what the operator typed or the system reported; they and
// everything below them are left alone.
class LanguageWalker {
public:
    static void apply(QObject *root, bool chinese);
};
