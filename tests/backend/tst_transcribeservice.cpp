#include "support/TestSupport.h"
int main(){}
