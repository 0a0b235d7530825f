// Descriptor numbers: never 0, never handed out twice while taken. Thread-safe.
#pragma once

unsigned int GetUniqueNumber();
void FreeUniqueNumber(unsigned int number);
// How many numbers are taken now (test seam, leak checks).
unsigned int TakenUniqueNumbers();
