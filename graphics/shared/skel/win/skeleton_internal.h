#pragma once
// Helpers shared by the shell's own source files.

struct OvFileSystem;

// Frees a file system that was made but never registered.
void SkelDiscardFileSystem(OvFileSystem* fs);
