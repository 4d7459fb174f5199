// Keeps brovane_core a real library while its layers are header-only.
