#pragma once

// Registers the types that travel through queued signals under their own names. Call once in
// main before any queued connection carries them.
void registerQuorviMetaTypes();
