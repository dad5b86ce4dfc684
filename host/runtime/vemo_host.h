// What VemoLuaRuntime.dll offers its own host (orvane-host.exe and the runtime test) besides the
// entries the add-in uses. The add-in never sees these: they let a test shape the runtime and
// observe how the add-in treats it.
#pragma once

struct lua_State;

extern "C" {

// none != 0: the runtime has no default environment, so VemoLRT_GetEnv(nullptr) returns null.
// Only possible before the default environment was first made; returns 0 on success, -1 if it
// already exists (then nothing changes).
int VemoHost_SetNoDefaultEnv(int none);

// on != 0: the default environment's state allocates through the debug allocator, which poisons
// freed blocks and holds them back for a while, so a use after free faults at once. Only possible
// before the default environment was first made; returns 0 on success, -1 if it already exists.
int VemoHost_UseDebugAllocator(int on);

// An error handler for lua_pcall: the message and the stack it was raised on, as VemoLRT_LuaCall
// reports a callback's error and the host its script's. Error objects that are not texts are left as
// they are.
int VemoHost_Traceback(lua_State* L);

// The state of the default environment, made on first use; null when there is none. Unlike
// VemoLRT_GetEnv this takes no reference and is not counted.
lua_State* VemoHost_DefaultState(void);

// How many references VemoLRT_GetEnv has handed out and VemoLRT_ReleaseEnv has taken back, since
// the process started. Lookups that found nothing and releases of null or unknown handles are not
// counted. Either pointer may be null.
void VemoHost_EnvStats(int* gets, int* releases);

}  // extern "C"
