int placeholderUntilWritten = 0;
