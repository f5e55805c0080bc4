namespace ota::backend { int appPlaceholder() { return 0; } }
