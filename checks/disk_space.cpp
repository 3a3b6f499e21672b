#include "checks/checks.h"

BOOL HasEnoughDiskSpace(const char* installFolder, DWORD bytesA, DWORD bytesB)
{
    // The root of the folder's drive, or of the current drive when the folder
    // names none (a network or relative path).
    char root[4];
    DWORD used = 0;
    if (installFolder[0] != '\0' && installFolder[1] == ':') {
        root[used++] = installFolder[0];
        root[used++] = ':';
    }
    root[used++] = '\\';
    root[used] = '\0';

    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return FALSE;

    // A drive that reports no cluster size cannot be measured; treat it as full.
    const DWORD clusterBytes = sectorsPerCluster * bytesPerSector;
    if (clusterBytes == 0)
        return FALSE;
    const DWORD needed = bytesA / clusterBytes + bytesB / clusterBytes + 2;
    return freeClusters >= needed;
}
