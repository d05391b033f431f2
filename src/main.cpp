#include "app.h"

int main() { return tarvo::run_daemon(); }
